# Fails unless the library exports exactly the C functions and the factory. A shared library
# is read from its dynamic symbol table. A static one is read from its global symbols: the
# same 18 functions, and besides them only weak copies of the C++ run-time's templates
# (std::), which every program that uses them holds alike.
if(LIB MATCHES "\\.a$")
  set(nm_args -C --defined-only --extern-only)
else()
  set(nm_args -D --defined-only)
endif()
execute_process(COMMAND nm ${nm_args} "${LIB}" OUTPUT_VARIABLE table RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${table}")
set(found "")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^[0-9a-f]+ ([A-Za-z]) (.*)$")
    continue()  # archive member headers
  endif()
  set(kind "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  if(LIB MATCHES "\\.a$" AND kind MATCHES "^[WVu]$")
    if(NOT name MATCHES "(^|[ <(*&,])(std|__gnu_cxx)::")
      message(FATAL_ERROR "static library exposes ${name} (${kind})")
    endif()
  else()
    list(APPEND found "${name}")
  endif()
endforeach()
list(SORT found)
set(expected DestroyPlumeLog GetPlumeLog QuillMarkAddCustomKey QuillMarkClearCustomKeys
    QuillMarkCloseCrashCatcher QuillMarkDestroy QuillMarkEnableHost QuillMarkGetLogLevel
    QuillMarkGetUserId QuillMarkInitialize QuillMarkOpenCrashCatcher QuillMarkRemoveCustomKey
    QuillMarkSendLog QuillMarkSetCrashCallback QuillMarkSetDeduplicate QuillMarkSetLogLevel
    QuillMarkSetUserId QuillMarkStartSendThread)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ.\nexpected: ${expected}\nfound: ${found}")
endif()
message(STATUS "exports: ${found}")
