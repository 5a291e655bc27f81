# How HTTPS to the collector is trusted. The settings are baked into the library through the
# generated header quillmark_tls_config.h (see src/util/tlsTrust.cpp).
option(QUILLMARK_TLS_VERIFY "Verify the collector's certificate and host name" ON)
if(ANDROID)
  # Android keeps its system CAs as one file per certificate, named by the old subject hash
  # (which OpenSSL's lookup does not use): the library reads the files itself. Since Android 14
  # the updatable store in the Conscrypt module comes first; older devices lack that folder.
  set(quillmark_default_ca_path "/apex/com.android.conscrypt/cacerts;/system/etc/security/cacerts")
else()
  set(quillmark_default_ca_path "")
endif()
set(QUILLMARK_CA_FILE "" CACHE STRING
    "CA bundle (PEM) on the device; empty: libcurl's built-in default")
set(QUILLMARK_CA_PATH "${quillmark_default_ca_path}" CACHE STRING
    "Folder(s) of CA certificate files on the device, separated by ';' or ':', whatever the \
files' names; the first that holds a certificate is used; empty: libcurl's built-in default")
# The library reads a ':'-separated list, as OpenSSL does its own folder lists.
string(REPLACE ";" ":" QUILLMARK_TLS_CA_FOLDERS "${QUILLMARK_CA_PATH}")
set(QUILLMARK_COLLECTOR_CA "" CACHE FILEPATH
    "PEM certificate(s) of a self-signed collector, compiled in and then trusted alone")

set(QUILLMARK_TLS_COLLECTOR_PEM "")
if(QUILLMARK_COLLECTOR_CA)
  if(NOT EXISTS "${QUILLMARK_COLLECTOR_CA}")
    message(FATAL_ERROR "QUILLMARK_COLLECTOR_CA: no such file: ${QUILLMARK_COLLECTOR_CA}")
  endif()
  file(READ "${QUILLMARK_COLLECTOR_CA}" QUILLMARK_TLS_COLLECTOR_PEM)
  if(NOT QUILLMARK_TLS_COLLECTOR_PEM MATCHES "-----BEGIN CERTIFICATE-----")
    message(FATAL_ERROR "QUILLMARK_COLLECTOR_CA: ${QUILLMARK_COLLECTOR_CA} holds no PEM "
                        "certificate")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${QUILLMARK_COLLECTOR_CA}")
  # One C string literal on one line: the generated header defines it as a macro.
  string(REPLACE "\\" "\\\\" QUILLMARK_TLS_COLLECTOR_PEM "${QUILLMARK_TLS_COLLECTOR_PEM}")
  string(REPLACE "\"" "\\\"" QUILLMARK_TLS_COLLECTOR_PEM "${QUILLMARK_TLS_COLLECTOR_PEM}")
  string(REPLACE "\r" "" QUILLMARK_TLS_COLLECTOR_PEM "${QUILLMARK_TLS_COLLECTOR_PEM}")
  string(REPLACE "\n" "\\n" QUILLMARK_TLS_COLLECTOR_PEM "${QUILLMARK_TLS_COLLECTOR_PEM}")
endif()
