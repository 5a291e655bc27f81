# cmake -DDUMP_SYMS=<dump_syms> -DBINARY=<elf> -DSTORE=<dir> -P quillmarkWriteSymbols.cmake
# Writes BINARY's Breakpad symbols to STORE/<module>/<debug id>/<module>.sym, replacing what an
# earlier build of the same module left there (quillmark_add_symbols runs it after each link).
foreach(var DUMP_SYMS BINARY STORE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "quillmarkWriteSymbols: -D${var}=... is missing")
  endif()
endforeach()
file(MAKE_DIRECTORY "${STORE}")
set(scratch "${STORE}/.incoming.sym")
execute_process(COMMAND "${DUMP_SYMS}" "${BINARY}" OUTPUT_FILE "${scratch}"
                ERROR_VARIABLE errors RESULT_VARIABLE status)
file(STRINGS "${scratch}" header LIMIT_COUNT 1)
# MODULE <os> <arch> <debug id> <name>
if(NOT status EQUAL 0 OR NOT header MATCHES "^MODULE [^ ]+ [^ ]+ ([0-9A-F]+) (.+)$")
  file(REMOVE "${scratch}")
  message(FATAL_ERROR "dump_syms could not read ${BINARY} (status ${status}): ${errors}")
endif()
set(id "${CMAKE_MATCH_1}")
set(module "${CMAKE_MATCH_2}")
file(REMOVE_RECURSE "${STORE}/${module}")
file(MAKE_DIRECTORY "${STORE}/${module}/${id}")
file(RENAME "${scratch}" "${STORE}/${module}/${id}/${module}.sym")
