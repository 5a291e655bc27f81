# cmake -DSTORE=<dir> -DMODULE=<name> -DFUNCTION=<name> -P check_symbol_file.cmake
# quillmark_add_symbols left exactly one symbol file of MODULE in STORE, at
# <module>/<debug id>/<module>.sym, whose header names that module and ID and which has a FUNC
# line for FUNCTION. Runs in every build, the 32-bit one included, whose ELF dump_syms reads
# on the 64-bit build machine.
file(GLOB ids LIST_DIRECTORIES true RELATIVE "${STORE}/${MODULE}" "${STORE}/${MODULE}/*")
list(LENGTH ids count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one debug ID under ${STORE}/${MODULE}, found '${ids}'")
endif()
set(sym "${STORE}/${MODULE}/${ids}/${MODULE}.sym")
file(STRINGS "${sym}" header LIMIT_COUNT 1)
if(NOT header MATCHES "^MODULE Linux (x86|x86_64) ${ids} ${MODULE}$")
  message(FATAL_ERROR "${sym} begins '${header}'")
endif()
file(STRINGS "${sym}" funcs REGEX "^FUNC [0-9a-f]+ [0-9a-f]+ [0-9a-f]+ ${FUNCTION}$")
if(NOT funcs)
  message(FATAL_ERROR "${sym} has no FUNC line for ${FUNCTION}")
endif()
message(STATUS "${header}: ${funcs}")
