# The README's C and C++ blocks as programs the api tests run against a loopback collector:
# each block as pasted, but for the collector's address and the storage folder, which come from
# QM_SNIPPET_ADDRESS, QM_SNIPPET_PORT and QM_SNIPPET_STORAGE at run time.
include(${CMAKE_CURRENT_LIST_DIR}/readme_blocks.cmake)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
readme_blocks(${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_BINARY_DIR}/readme_blocks
              readme_sources)
set(readme_c "")
set(readme_cpp "")
foreach(source IN LISTS readme_sources)
  file(READ "${source}" body)
  if(source MATCHES "\\.c$" AND NOT readme_c)
    set(pasted "\"/data/data/my.app/files\", \"1.2.3\",[ \n]*\"https://collector.example.com\", 443,")
    if(NOT body MATCHES "${pasted}")
      message(FATAL_ERROR "The README's C block no longer calls QuillMarkInitialize with the "
                          "storage folder and address the api tests replace: update "
                          "${CMAKE_CURRENT_LIST_FILE}")
    endif()
    string(REGEX REPLACE "${pasted}" "getenv(\"QM_SNIPPET_STORAGE\"), \"1.2.3\", getenv(\"QM_SNIPPET_ADDRESS\"), (uint16_t)atoi(getenv(\"QM_SNIPPET_PORT\"))," body "${body}")
    set(readme_c ${CMAKE_CURRENT_BINARY_DIR}/readme_program.c)
    file(WRITE ${readme_c}.in "#include <stdlib.h>\n${body}")
    configure_file(${readme_c}.in ${readme_c} COPYONLY)
  elseif(source MATCHES "\\.cpp$" AND NOT readme_cpp)
    set(readme_cpp ${CMAKE_CURRENT_BINARY_DIR}/readme_program.cpp)
    configure_file(${source} ${readme_cpp} COPYONLY)
  endif()
endforeach()
if(NOT readme_c OR NOT readme_cpp)
  message(FATAL_ERROR "The README holds no C or no C++ block for the api tests to run")
endif()
add_executable(quillmark_readme_c ${readme_c})
target_link_libraries(quillmark_readme_c PRIVATE quillmark)
# The C++ block is a function: a main of the tests' own registers both channels and calls it.
add_executable(quillmark_readme_cpp ${readme_cpp} ${CMAKE_CURRENT_LIST_DIR}/readme_cpp_main.cpp)
target_link_libraries(quillmark_readme_cpp PRIVATE quillmark)
