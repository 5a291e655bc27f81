# Where libcurl (with its TLS library) and jsoncpp come from; the rest of the build links
# ${QUILLMARK_CURL_TARGET} and ${QUILLMARK_JSONCPP_TARGET}.
#   system   : found on the build machine (find_package / pkg-config), as on a Linux host.
#   provided : handed in by the application, which builds them for its own ABI (Android apps
#              ship their own static libcurl, OpenSSL and jsoncpp; see docs/android.md). Either
#              define the imported targets CURL::libcurl and JsonCpp::JsonCpp before adding
#              this project, or give the QUILLMARK_<DEP>_LIBRARY / _INCLUDE_DIR paths below.
set(QUILLMARK_DEPENDENCIES system CACHE STRING "Where libcurl and jsoncpp come from")
set_property(CACHE QUILLMARK_DEPENDENCIES PROPERTY STRINGS system provided)

find_package(Threads REQUIRED)

# An imported static library from a path, with its include folder and what it needs itself.
function(quillmark_import_static name library include_dir)
  if(NOT EXISTS "${library}")
    message(FATAL_ERROR "QUILLMARK_DEPENDENCIES=provided: ${name} needs an existing library "
                        "file, got '${library}'")
  endif()
  add_library(${name} STATIC IMPORTED GLOBAL)
  set_target_properties(${name} PROPERTIES IMPORTED_LOCATION "${library}")
  if(include_dir)
    set_target_properties(${name} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${include_dir}")
  endif()
  if(ARGN)
    set_target_properties(${name} PROPERTIES INTERFACE_LINK_LIBRARIES "${ARGN}")
  endif()
endfunction()

if(QUILLMARK_DEPENDENCIES STREQUAL "provided")
  set(QUILLMARK_CURL_LIBRARY "" CACHE FILEPATH "Static libcurl.a (provided dependencies)")
  set(QUILLMARK_CURL_INCLUDE_DIR "" CACHE PATH "Folder holding curl/curl.h")
  set(QUILLMARK_OPENSSL_SSL_LIBRARY "" CACHE FILEPATH "Static libssl.a libcurl was built with")
  set(QUILLMARK_OPENSSL_CRYPTO_LIBRARY "" CACHE FILEPATH "Static libcrypto.a")
  set(QUILLMARK_JSONCPP_LIBRARY "" CACHE FILEPATH "Static libjsoncpp.a")
  set(QUILLMARK_JSONCPP_INCLUDE_DIR "" CACHE PATH "Folder holding json/json.h")
  if(NOT TARGET CURL::libcurl)
    set(curl_needs "")
    if(QUILLMARK_OPENSSL_SSL_LIBRARY)
      quillmark_import_static(quillmark_dep_crypto "${QUILLMARK_OPENSSL_CRYPTO_LIBRARY}" "")
      quillmark_import_static(quillmark_dep_ssl "${QUILLMARK_OPENSSL_SSL_LIBRARY}" ""
                              quillmark_dep_crypto)
      set(curl_needs quillmark_dep_ssl quillmark_dep_crypto)
    endif()
    # A static libcurl names no dependencies of its own: libz is in every NDK and host libc.
    quillmark_import_static(quillmark_dep_curl "${QUILLMARK_CURL_LIBRARY}"
                            "${QUILLMARK_CURL_INCLUDE_DIR}" ${curl_needs} z)
    set_target_properties(quillmark_dep_curl PROPERTIES INTERFACE_COMPILE_DEFINITIONS
                                                        CURL_STATICLIB)
    set(QUILLMARK_CURL_TARGET quillmark_dep_curl)
  else()
    set(QUILLMARK_CURL_TARGET CURL::libcurl)
  endif()
  if(NOT TARGET JsonCpp::JsonCpp)
    quillmark_import_static(quillmark_dep_jsoncpp "${QUILLMARK_JSONCPP_LIBRARY}"
                            "${QUILLMARK_JSONCPP_INCLUDE_DIR}")
    set(QUILLMARK_JSONCPP_TARGET quillmark_dep_jsoncpp)
  else()
    set(QUILLMARK_JSONCPP_TARGET JsonCpp::JsonCpp)
  endif()
elseif(QUILLMARK_DEPENDENCIES STREQUAL "system")
  find_package(CURL REQUIRED)
  set(QUILLMARK_CURL_TARGET CURL::libcurl)
  find_package(jsoncpp CONFIG QUIET)
  if(TARGET JsonCpp::JsonCpp)
    set(QUILLMARK_JSONCPP_TARGET JsonCpp::JsonCpp)
  else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(JSONCPP REQUIRED IMPORTED_TARGET GLOBAL jsoncpp)
    set(QUILLMARK_JSONCPP_TARGET PkgConfig::JSONCPP)
  endif()
else()
  message(FATAL_ERROR "QUILLMARK_DEPENDENCIES must be 'system' or 'provided', not "
                      "'${QUILLMARK_DEPENDENCIES}'")
endif()

# Test-only dependencies, needed only when the tests are built.
if(QUILLMARK_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
# The loopback collector is found through pkg-config.
if(QUILLMARK_BUILD_TOOLS OR QUILLMARK_BUILD_TESTS)
  find_package(PkgConfig REQUIRED)
endif()

# Debian's http-parser (libhttp-parser-dev) ships no CMake or pkg-config file. The static archive
# is preferred so the shipped library carries no run-time dependency that Android lacks.
find_path(HTTP_PARSER_INCLUDE_DIR http_parser.h REQUIRED)
find_library(HTTP_PARSER_LIBRARY NAMES libhttp_parser.a http_parser REQUIRED)
add_library(HttpParser::HttpParser UNKNOWN IMPORTED)
set_target_properties(HttpParser::HttpParser PROPERTIES
  IMPORTED_LOCATION "${HTTP_PARSER_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${HTTP_PARSER_INCLUDE_DIR}")
