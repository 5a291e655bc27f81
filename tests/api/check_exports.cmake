# Fails unless the shared library exports exactly the C functions and the factory.
execute_process(COMMAND nm -D --defined-only "${LIB}" OUTPUT_VARIABLE table RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${table}")
set(found "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND found "${name}")
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
