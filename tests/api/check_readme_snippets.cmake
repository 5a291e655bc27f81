# Compiles every ```c and ```cpp block of the README as pasted, against the public header:
# a snippet a reader copies must build. Fails when the README holds none.
# cmake -DREADME=<README.md> -DINCLUDE_DIR=<include> -DCC=<c compiler> -DCXX=<c++ compiler>
#       -DOUT=<scratch folder> -P check_readme_snippets.cmake
file(READ "${README}" text)
# Semicolons would split the list of blocks below: they travel as a placeholder.
string(REPLACE ";" "@SEMICOLON@" text "${text}")
string(REGEX MATCHALL "```(c|cpp)\n([^`]*)```" blocks "${text}")
if(NOT blocks)
  message(FATAL_ERROR "no C or C++ block in ${README}")
endif()
file(MAKE_DIRECTORY "${OUT}")
set(index 0)
foreach(block IN LISTS blocks)
  math(EXPR index "${index} + 1")
  string(REGEX MATCH "^```(c|cpp)\n" fence "${block}")
  set(language "${CMAKE_MATCH_1}")
  string(LENGTH "${fence}" skip)
  string(SUBSTRING "${block}" ${skip} -1 body)
  string(REGEX REPLACE "```$" "" body "${body}")
  string(REPLACE "@SEMICOLON@" ";" body "${body}")
  set(source "${OUT}/snippet_${index}.${language}")
  file(WRITE "${source}" "${body}")
  if(language STREQUAL "c")
    set(command ${CC} -x c -std=c11 -pedantic-errors)
  else()
    set(command ${CXX} -x c++ -std=c++17 -pedantic-errors)
  endif()
  execute_process(COMMAND ${command} -Wall -Wextra -Werror -I "${INCLUDE_DIR}" -c "${source}"
                          -o "${source}.o"
                  RESULT_VARIABLE rc ERROR_VARIABLE errors)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "README block ${index} (${language}) does not compile:\n${errors}")
  endif()
  message(STATUS "README block ${index} (${language}) compiles")
endforeach()
