#include "util/tlsTrust.h"

#include <atomic>
#include <cstring>

#include "quillmark_tls_config.h"

namespace {

const char* nonEmptyOrNull(const char* text) {
    return text != nullptr && text[0] != '\0' ? text : nullptr;
}

// Read by every transfer, the crash report's included: a pointer, so reading never locks.
std::atomic<const TlsTrust*> g_trust{nullptr};

}  // namespace

const TlsTrust& builtInTlsTrust() {
    static const TlsTrust trust{QUILLMARK_TLS_CA_FILE, QUILLMARK_TLS_CA_PATH,
                                QUILLMARK_TLS_COLLECTOR_PEM};
    return trust;
}

void replaceTlsTrust(const TlsTrust* trust) { g_trust.store(trust); }

void applyTlsTrust(CURL* handle) {
    const TlsTrust* replaced = g_trust.load();
    const TlsTrust& trust = replaced != nullptr ? *replaced : builtInTlsTrust();
    if (const char* pem = nonEmptyOrNull(trust.pinnedPem)) {
        curl_blob blob{const_cast<char*>(pem), std::strlen(pem), CURL_BLOB_COPY};
        curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob);
        curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
        return;
    }
    if (const char* file = nonEmptyOrNull(trust.caFile)) {
        curl_easy_setopt(handle, CURLOPT_CAINFO, file);
    }
    if (const char* path = nonEmptyOrNull(trust.caPath)) {
        curl_easy_setopt(handle, CURLOPT_CAPATH, path);
    }
}
