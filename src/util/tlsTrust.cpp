#include "util/tlsTrust.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <utility>

#include "quillmark_tls_config.h"
#include "util/boundedFile.h"
#include "util/utilLog.h"
#include "util/utilTools.h"

namespace {

// Android's folders hold about 150 files of a few KiB each (a certificate and its text dump);
// these bounds leave room for far more and keep a hostile folder from costing much. A bundle
// stays below libcurl's own bound for a blob (8 MB).
constexpr size_t kMaxFileBytes = 64 * 1024;
constexpr size_t kMaxBundleBytes = 4 * 1024 * 1024;
constexpr int kMaxFolderEntries = 1024;

const char kBeginLine[] = "-----BEGIN CERTIFICATE-----";
const char kEndLine[] = "-----END CERTIFICATE-----";

// Read by every transfer, the crash report's included: a pointer, so reading never locks.
std::atomic<const TlsTrust*> g_trust{nullptr};
// The number of CaBundleMadeOnly alive.
std::atomic<int> g_madeOnly{0};

struct FolderCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

const char* nonEmptyOrNull(const char* text) {
    return text != nullptr && text[0] != '\0' ? text : nullptr;
}

bool isBase64Letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    return c == '+' ? 62 : 63;
}

// Clean Base64 (letters, then at most two '=' at the end, a multiple of four) decoded.
std::string decodeCleanBase64(const std::string& base64) {
    std::string bytes;
    uint32_t group = 0;
    int sextets = 0;
    for (const char c : base64) {
        if (c == '=') break;
        group = (group << 6) | static_cast<uint32_t>(base64Value(c));
        if (++sextets == 4) {
            bytes += static_cast<char>(group >> 16);
            bytes += static_cast<char>((group >> 8) & 0xFF);
            bytes += static_cast<char>(group & 0xFF);
            group = 0;
            sextets = 0;
        }
    }
    if (sextets == 3) {
        bytes += static_cast<char>(group >> 10);
        bytes += static_cast<char>((group >> 2) & 0xFF);
    } else if (sextets == 2) {
        bytes += static_cast<char>(group >> 4);
    }
    return bytes;
}

// True when der is one DER SEQUENCE whose length is exactly its own, as a certificate is.
bool isOneDerSequence(const std::string& der) {
    if (der.size() < 2 || static_cast<unsigned char>(der[0]) != 0x30) return false;
    const auto first = static_cast<unsigned char>(der[1]);
    size_t header = 2;
    size_t length = first;
    if ((first & 0x80) != 0) {
        const size_t bytes = first & 0x7F;
        if (bytes == 0 || bytes > 3 || der.size() < 2 + bytes) return false;
        length = 0;
        for (size_t i = 0; i < bytes; ++i) {
            length = (length << 8) | static_cast<unsigned char>(der[2 + i]);
        }
        header += bytes;
    }
    return header + length == der.size();
}

// The DER bytes of a PEM block's body, or false when the body is not clean Base64 of one DER
// SEQUENCE: libcurl refuses a whole bundle over one damaged block, so such a block would cost
// every other certificate.
bool derOfBody(const char* begin, const char* end, std::string& der) {
    std::string base64;
    for (const char* at = begin; at != end; ++at) {
        const char c = *at;
        if (c == '\n' || c == '\r' || c == ' ' || c == '\t') continue;
        if (!isBase64Letter(c) && c != '=') return false;
        base64 += c;
    }
    const size_t padding = base64.find('=');
    if (base64.empty() || base64.size() % 4 != 0) return false;
    if (padding != std::string::npos &&
        (padding + 2 < base64.size() ||
         base64.find_first_not_of('=', padding) != std::string::npos)) {
        return false;
    }
    der = decodeCleanBase64(base64);
    return isOneDerSequence(der);
}

void appendPemBlock(const std::string& der, std::string& bundle) {
    std::string base64;
    UtilTools::encode_base64_string(der, base64);
    bundle += kBeginLine;
    bundle += '\n';
    for (size_t at = 0; at < base64.size(); at += 64) {
        bundle.append(base64, at, 64);
        bundle += '\n';
    }
    bundle += kEndLine;
    bundle += '\n';
}

struct BundleText {
    std::string text;
    size_t certificates = 0;
    bool full = false;  // a certificate did not fit within kMaxBundleBytes
};

// Adds each sound certificate block of text, written anew in the plain form: only the blocks,
// so the text dump Android keeps after each one stays out.
void addCertificates(const std::string& text, BundleText& bundle) {
    const size_t beginSize = sizeof kBeginLine - 1;
    const size_t endSize = sizeof kEndLine - 1;
    std::string der;
    for (size_t at = text.find(kBeginLine); at != std::string::npos;
         at = text.find(kBeginLine, at)) {
        const size_t body = at + beginSize;
        const size_t bodyEnd = text.find(kEndLine, body);
        if (bodyEnd == std::string::npos) return;
        at = bodyEnd + endSize;
        if (!derOfBody(text.data() + body, text.data() + bodyEnd, der)) continue;
        const size_t before = bundle.text.size();
        appendPemBlock(der, bundle.text);
        if (bundle.text.size() > kMaxBundleBytes) {
            bundle.text.resize(before);
            bundle.full = true;
            return;
        }
        ++bundle.certificates;
    }
}

void addFolder(const std::string& folder, BundleText& bundle) {
    const std::unique_ptr<DIR, FolderCloser> dir(::opendir(folder.c_str()));
    if (!dir) return;
    std::string text;
    int entries = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (entry->d_name[0] == '.') continue;
        if (++entries > kMaxFolderEntries) {
            _warn_log("CA folder " + folder + ": only its first " +
                      std::to_string(kMaxFolderEntries) + " files are read");
            return;
        }
        if (boundedFile::readWhole(::dirfd(dir.get()), entry->d_name, kMaxFileBytes, text)) {
            addCertificates(text, bundle);
        }
        if (bundle.full) return;
    }
}

std::string readBundle(const char* caFile, const char* folders) {
    BundleText bundle;
    std::string text;
    if (caFile != nullptr && boundedFile::readWhole(AT_FDCWD, caFile, kMaxBundleBytes, text)) {
        addCertificates(text, bundle);
    }
    const size_t fromFile = bundle.certificates;
    std::string used;
    for (const char* at = folders; *at != '\0' && bundle.certificates == fromFile;) {
        const char* end = std::strchr(at, ':');
        if (end == nullptr) end = at + std::strlen(at);
        used.assign(at, end);
        if (!used.empty()) addFolder(used, bundle);
        at = *end == ':' ? end + 1 : end;
    }
    if (bundle.full) _warn_log("CA bundle full: later certificates are left out");
    if (bundle.certificates == fromFile) {
        _warn_log(std::string("no CA certificate in ") + folders +
                  ": certificate checks refuse every server");
    } else {
        _info_log("CA bundle of " + std::to_string(bundle.certificates) + " certificates from " +
                  used);
    }
    return std::move(bundle.text);
}

}  // namespace

const std::string* CaBundle::make(const char* caFile, const char* folders) {
    if (const std::string* bundle = made()) return bundle;
    std::lock_guard lock(m_making);
    if (const std::string* bundle = made()) return bundle;
    try {
        m_bundle = std::make_unique<const std::string>(readBundle(caFile, folders));
    } catch (const std::exception&) {
        _warn_log("no memory for the CA bundle");
        return nullptr;
    }
    m_made.store(m_bundle.get(), std::memory_order_release);
    return m_bundle.get();
}

CaBundleMadeOnly::CaBundleMadeOnly() { g_madeOnly.fetch_add(1); }

CaBundleMadeOnly::~CaBundleMadeOnly() { g_madeOnly.fetch_sub(1); }

const TlsTrust& builtInTlsTrust() {
    // Never destroyed: a library thread may still hand its bundle to libcurl while the process
    // exits.
    static const TlsTrust* const trust = new TlsTrust{
        QUILLMARK_TLS_CA_FILE, QUILLMARK_TLS_CA_FOLDERS, QUILLMARK_TLS_COLLECTOR_PEM, {}};
    return *trust;
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
    const char* file = nonEmptyOrNull(trust.caFile);
    const char* folders = nonEmptyOrNull(trust.caPath);
    const std::string* bundle = nullptr;
    if (folders != nullptr) {
        bundle = g_madeOnly.load() > 0 ? trust.folderBundle.made()
                                       : trust.folderBundle.make(file, folders);
    }
    if (bundle != nullptr) {
        // The bundle lasts as long as its trust, so libcurl need not copy it per transfer. It
        // is trusted alone: libcurl's default folder would otherwise be searched as well.
        curl_blob blob{const_cast<char*>(bundle->data()), bundle->size(), CURL_BLOB_NOCOPY};
        curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob);
        curl_easy_setopt(handle, CURLOPT_CAPATH, nullptr);
        return;
    }
    if (file != nullptr) curl_easy_setopt(handle, CURLOPT_CAINFO, file);
    if (folders != nullptr) curl_easy_setopt(handle, CURLOPT_CAPATH, folders);
}
