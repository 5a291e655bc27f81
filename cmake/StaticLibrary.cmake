# libquillmark.a with the shared library's public surface: our objects and Breakpad's are
# linked into one relocatable object whose hidden symbols are then made local, so an app
# linking it sees the same 18 functions as with libquillmark.so and none of our internals
# (nor Breakpad's) can clash with its own.
set(quillmark_prelinked ${CMAKE_CURRENT_BINARY_DIR}/quillmark_prelinked.o)
set(quillmark_prelink_inputs $<TARGET_OBJECTS:quillmark_objects>)
if(QUILLMARK_WITH_BREAKPAD)
  list(APPEND quillmark_prelink_inputs $<TARGET_OBJECTS:quillmark_breakpad>)
endif()
# http-parser goes inside too: it has no package an app could find, and its functions become
# internals like ours.
list(APPEND quillmark_prelink_inputs ${HTTP_PARSER_LIBRARY})
if(NOT CMAKE_OBJCOPY OR NOT CMAKE_READELF)
  message(FATAL_ERROR "QUILLMARK_BUILD_SHARED=OFF needs objcopy and readelf")
endif()
separate_arguments(quillmark_prelink_flags UNIX_COMMAND "${CMAKE_CXX_FLAGS}")
add_custom_command(
  OUTPUT ${quillmark_prelinked}
  COMMAND ${CMAKE_CXX_COMPILER} ${quillmark_prelink_flags} -nostdlib -r
          -o ${quillmark_prelinked} ${quillmark_prelink_inputs}
  # Breakpad's assembly getcontext is global; it is an internal like the rest.
  COMMAND ${CMAKE_COMMAND} -DOBJECT=${quillmark_prelinked} -DREADELF=${CMAKE_READELF}
          -DOBJCOPY=${CMAKE_OBJCOPY} -DKEEP_LOCAL=breakpad_getcontext -DKEEP_LOCAL_REGEX=^http_
          -P ${PROJECT_SOURCE_DIR}/cmake/LocalizeHidden.cmake
  DEPENDS ${quillmark_prelink_inputs} ${PROJECT_SOURCE_DIR}/cmake/LocalizeHidden.cmake
  COMMAND_EXPAND_LISTS
  COMMENT "Linking the static library's objects into one, internals hidden")
# An empty C++ source marks the archive as C++, so that CMake links a C application that
# uses it with the C++ run-time (the prelinked object alone carries no language).
set(quillmark_language_marker ${CMAKE_CURRENT_BINARY_DIR}/quillmark_static_language.cpp)
file(WRITE ${quillmark_language_marker} "// Marks libquillmark.a as a C++ library.\n")
add_library(quillmark STATIC ${quillmark_prelinked} ${quillmark_language_marker})
# The objects are built by their own targets, before the custom command reads them.
add_dependencies(quillmark quillmark_objects)
if(QUILLMARK_WITH_BREAKPAD)
  add_dependencies(quillmark quillmark_breakpad)
endif()
target_link_libraries(quillmark PRIVATE ${QUILLMARK_CURL_TARGET} ${QUILLMARK_JSONCPP_TARGET}
                                        Threads::Threads)
if(ANDROID)
  target_link_libraries(quillmark PRIVATE log dl)
endif()
