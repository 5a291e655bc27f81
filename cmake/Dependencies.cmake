find_package(Threads REQUIRED)
find_package(CURL REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(jsoncpp CONFIG QUIET)
if(NOT TARGET JsonCpp::JsonCpp)
  if(TARGET jsoncpp_lib)
    add_library(JsonCpp::JsonCpp ALIAS jsoncpp_lib)
  else()
    pkg_check_modules(JSONCPP REQUIRED IMPORTED_TARGET jsoncpp)
    add_library(JsonCpp::JsonCpp ALIAS PkgConfig::JSONCPP)
  endif()
endif()
if(QUILLMARK_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
# Debian's http-parser (libhttp-parser-dev) ships no CMake or pkg-config file. The static archive
# is preferred so the shipped library carries no run-time dependency that Android lacks.
find_path(HTTP_PARSER_INCLUDE_DIR http_parser.h REQUIRED)
find_library(HTTP_PARSER_LIBRARY NAMES libhttp_parser.a http_parser REQUIRED)
add_library(HttpParser::HttpParser UNKNOWN IMPORTED)
set_target_properties(HttpParser::HttpParser PROPERTIES
  IMPORTED_LOCATION "${HTTP_PARSER_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${HTTP_PARSER_INCLUDE_DIR}")
