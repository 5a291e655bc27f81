// Whom HTTPS to a collector trusts once certificate checks are on: the build's settings
// (cmake/Tls.cmake), or a replacement the tests install for their loopback collector.
#pragma once

#include <curl/curl.h>

struct TlsTrust {
    const char* caFile = nullptr;     // PEM bundle; null or "": libcurl's built-in default
    const char* caPath = nullptr;     // folder of hashed certificates; null or "": the default
    const char* pinnedPem = nullptr;  // certificates trusted alone; null or "": none pinned
};

// The build's settings: QUILLMARK_CA_FILE, QUILLMARK_CA_PATH, QUILLMARK_COLLECTOR_CA.
const TlsTrust& builtInTlsTrust();

// Later transfers trust `trust` (which must outlive them) instead; null goes back to the
// build's settings.
void replaceTlsTrust(const TlsTrust* trust);

// Sets the handle's CA options from the trust in force. A pinned certificate is trusted alone:
// the CA file and folder, the configured ones and libcurl's defaults, are then not used.
void applyTlsTrust(CURL* handle);
