# Compiles every ```c and ```cpp block of the README as pasted, against the public header:
# a snippet a reader copies must build. Fails when the README holds none.
# cmake -DREADME=<README.md> -DINCLUDE_DIR=<include> -DCC=<c compiler> -DCXX=<c++ compiler>
#       -DOUT=<scratch folder> -P check_readme_snippets.cmake
include(${CMAKE_CURRENT_LIST_DIR}/readme_blocks.cmake)
readme_blocks("${README}" "${OUT}" sources)
if(NOT sources)
  message(FATAL_ERROR "no C or C++ block in ${README}")
endif()
set(index 0)
foreach(source IN LISTS sources)
  math(EXPR index "${index} + 1")
  if(source MATCHES "\\.c$")
    set(language c)
    set(command ${CC} -x c -std=c11 -pedantic-errors)
  else()
    set(language cpp)
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
