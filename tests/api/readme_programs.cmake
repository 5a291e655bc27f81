# The README's C and C++ blocks, built as pasted (strict C11 and C++17, no warnings) into
# programs the api tests run against a loopback collector. Only the C block's storage folder and
# collector change: they come from QM_SNIPPET_STORAGE, QM_SNIPPET_ADDRESS and QM_SNIPPET_PORT.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
file(READ ${PROJECT_SOURCE_DIR}/README.md readme_text)
# Semicolons would split the list of blocks below: they travel as a placeholder.
string(REPLACE ";" "@SEMICOLON@" readme_text "${readme_text}")
string(REGEX MATCH "```c\n([^`]*)```" _ "${readme_text}")
set(readme_c_block "${CMAKE_MATCH_1}")
string(REGEX MATCH "```cpp\n([^`]*)```" _ "${readme_text}")
set(readme_cpp_block "${CMAKE_MATCH_1}")
if(NOT readme_c_block OR NOT readme_cpp_block)
  message(FATAL_ERROR "README.md holds no ```c or no ```cpp block for the api tests to build")
endif()
set(pasted "\"/data/data/my.app/files\", \"1.2.3\",[ \n]*\"https://collector.example.com\", 443,")
if(NOT readme_c_block MATCHES "${pasted}")
  message(FATAL_ERROR "The README's C block no longer calls QuillMarkInitialize with the storage "
                      "folder and address the api tests replace: update ${CMAKE_CURRENT_LIST_FILE}")
endif()
string(REGEX REPLACE "${pasted}"
       "getenv(\"QM_SNIPPET_STORAGE\"), \"1.2.3\", getenv(\"QM_SNIPPET_ADDRESS\"), (uint16_t)atoi(getenv(\"QM_SNIPPET_PORT\")),"
       readme_c_block "${readme_c_block}")
set(readme_c_block "#include <stdlib.h>\n${readme_c_block}")
foreach(language c cpp)
  string(REPLACE "@SEMICOLON@" ";" block "${readme_${language}_block}")
  set(source ${CMAKE_CURRENT_BINARY_DIR}/readme_block.${language})
  # Written only when it changed, so that a README edit elsewhere rebuilds nothing.
  file(WRITE ${source}.new "${block}")
  configure_file(${source}.new ${source} COPYONLY)
  set(readme_${language}_source ${source})
endforeach()
add_executable(quillmark_readme_c ${readme_c_source})
set_target_properties(quillmark_readme_c PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON
                                                    C_EXTENSIONS OFF)
# The C++ block is a function: a main of the tests' own registers both channels and calls it.
add_executable(quillmark_readme_cpp ${readme_cpp_source} ${CMAKE_CURRENT_LIST_DIR}/readme_cpp_main.cpp)
foreach(program quillmark_readme_c quillmark_readme_cpp)
  target_compile_options(${program} PRIVATE -pedantic-errors -Wall -Wextra -Werror)
  target_link_libraries(${program} PRIVATE quillmark)
  # ThreadSanitizer cannot see pthread_mutex_clocklock; the tests' interposer shows it the lock.
  if(QUILLMARK_SANITIZE MATCHES "thread")
    target_sources(${program} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/tsanClockLock.c)
  endif()
endforeach()
