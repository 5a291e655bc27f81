# quillmark_add_symbols(<target> [DESTINATION <dir>] [COMPONENT <name>] [NO_INSTALL]): once
# <target> (an executable or a shared library, also one cross-compiled for Android) links,
# Breakpad's dump_syms writes the symbol file of the unstripped binary into a store of its own,
# laid out as minidump_stackwalk and quillmark-symbolicate look for it:
# <module>/<debug id>/<module>.sym. The store is installed with the application under
# DESTINATION (default share/<project>/symbols), in COMPONENT if given, so that the symbols can
# stay out of what ships; NO_INSTALL keeps it in the build tree only. Its build folder is the
# target's property QUILLMARK_SYMBOL_STORE.
#
# dump_syms is a host program that reads any ELF, so it runs on the build machine whatever the
# target's ABI. Whoever includes this file first sets the global property QUILLMARK_DUMP_SYMS:
# the installed package points it at its own copy, a source build at the pinned Breakpad tools.
include_guard(GLOBAL)

function(quillmark_add_symbols target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "NO_INSTALL" "DESTINATION;COMPONENT" "")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "quillmark_add_symbols: unexpected arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TARGET ${target})
    message(FATAL_ERROR "quillmark_add_symbols: ${target} is not a target")
  endif()
  get_target_property(type ${target} TYPE)
  if(NOT type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$")
    message(FATAL_ERROR "quillmark_add_symbols: ${target} is a ${type}; only executables and "
                        "shared libraries are loaded as modules a dump can name")
  endif()
  get_property(dump_syms GLOBAL PROPERTY QUILLMARK_DUMP_SYMS)
  if(NOT dump_syms OR NOT EXISTS "${dump_syms}")
    message(FATAL_ERROR "quillmark_add_symbols: Breakpad's dump_syms not found ('${dump_syms}')")
  endif()
  if(NOT arg_DESTINATION)
    if(CMAKE_INSTALL_DATADIR)
      set(arg_DESTINATION "${CMAKE_INSTALL_DATADIR}/${PROJECT_NAME}/symbols")
    else()
      set(arg_DESTINATION "share/${PROJECT_NAME}/symbols")
    endif()
  endif()

  # One store per target, so that a rebuild replaces that module's file (its debug ID changes
  # with the build ID) without touching another target's.
  set(store "${CMAKE_CURRENT_BINARY_DIR}/quillmark_symbols/${target}")
  set_target_properties(${target} PROPERTIES QUILLMARK_SYMBOL_STORE "${store}")
  # TARGET_FILE is the real file (libx.so.1.2.3, not its links), which dump_syms must read; it
  # names a shared library by its SONAME where there is one, as the dump does.
  set(write_symbols ${CMAKE_COMMAND} -DDUMP_SYMS=${dump_syms} -DBINARY=$<TARGET_FILE:${target}>
                    -DSTORE=${store} -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/quillmarkWriteSymbols.cmake)
  get_target_property(target_dir ${target} BINARY_DIR)
  if(target_dir STREQUAL CMAKE_CURRENT_BINARY_DIR)
    # Part of the link step: whoever builds the target gets its symbols.
    add_custom_command(TARGET ${target} POST_BUILD COMMAND ${write_symbols}
                       COMMENT "Breakpad symbols of ${target}" VERBATIM)
  else()
    # CMake attaches build steps to a target only in its own directory; from elsewhere the
    # symbols are a target of their own, <target>_symbols, part of the default build.
    add_custom_command(OUTPUT ${store}.stamp COMMAND ${write_symbols}
                       COMMAND ${CMAKE_COMMAND} -E touch ${store}.stamp
                       DEPENDS ${target} $<TARGET_FILE:${target}>
                       COMMENT "Breakpad symbols of ${target}" VERBATIM)
    add_custom_target(${target}_symbols ALL DEPENDS ${store}.stamp)
  endif()
  if(NOT arg_NO_INSTALL)
    set(component "")
    if(arg_COMPONENT)
      set(component COMPONENT "${arg_COMPONENT}")
    endif()
    install(DIRECTORY "${store}/" DESTINATION "${arg_DESTINATION}" ${component})
  endif()
endfunction()
