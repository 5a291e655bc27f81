# cmake -DOBJECT=<file.o> -DREADELF=<readelf> -DOBJCOPY=<objcopy> -DKEEP_LOCAL=<names>
#       [-DKEEP_LOCAL_REGEX=<regex>] -P ...
# Makes every hidden symbol the object defines local, whatever its binding: objcopy's own
# --localize-hidden leaves GNU "unique" symbols (C++17 inline variables) global. KEEP_LOCAL
# names symbols of default visibility that are internal all the same; KEEP_LOCAL_REGEX matches
# more of them (a static dependency linked in whole, such as http-parser).
execute_process(COMMAND ${READELF} -sW ${OBJECT} OUTPUT_VARIABLE table RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${OBJECT}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${table}")
set(names ${KEEP_LOCAL})
foreach(line IN LISTS lines)
  # Num: Value Size Type Bind Vis Ndx Name
  if(line MATCHES "^ *[0-9]+: +[0-9a-f]+ +[0-9]+ +[A-Z_]+ +(GLOBAL|WEAK|UNIQUE) +HIDDEN +([0-9]+|ABS|COM) +([^ ]+)$")
    list(APPEND names "${CMAKE_MATCH_3}")
  elseif(KEEP_LOCAL_REGEX AND line MATCHES
         "^ *[0-9]+: +[0-9a-f]+ +[0-9]+ +[A-Z_]+ +(GLOBAL|WEAK) +DEFAULT +[0-9]+ +([^ ]+)$")
    # The inner match replaces CMAKE_MATCH_*: keep the name first.
    set(name "${CMAKE_MATCH_2}")
    if(name MATCHES "${KEEP_LOCAL_REGEX}")
      list(APPEND names "${name}")
    endif()
  endif()
endforeach()
list(REMOVE_DUPLICATES names)
list(JOIN names "\n" text)
file(WRITE ${OBJECT}.local "${text}\n")
execute_process(COMMAND ${OBJCOPY} --localize-symbols=${OBJECT}.local ${OBJECT}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objcopy failed on ${OBJECT}")
endif()
