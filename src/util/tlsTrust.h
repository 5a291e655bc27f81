// Whom HTTPS to a collector trusts once certificate checks are on: the build's settings
// (cmake/Tls.cmake), or a replacement the tests install for their loopback collector.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

// The certificates of a trust's CA folder as one PEM bundle, read once and then kept: the
// files of a folder are read by the library itself, whatever their names, since OpenSSL's
// lookup in a hashed folder finds nothing in one named by the old subject hash (Android's).
class CaBundle {
public:
    CaBundle() = default;
    CaBundle(const CaBundle&) = delete;
    CaBundle& operator=(const CaBundle&) = delete;

    // The bundle once it was made, else null. Takes no lock and reads no file.
    const std::string* made() const { return m_made.load(std::memory_order_acquire); }
    // The bundle, made first from the CA file and the first of the folders that holds a
    // certificate when it was not; empty when none holds one. Null only without the memory to
    // make it (the next call tries again).
    const std::string* make(const char* caFile, const char* folders);

private:
    std::mutex m_making;
    std::unique_ptr<const std::string> m_bundle;
    std::atomic<const std::string*> m_made{nullptr};
};

struct TlsTrust {
    const char* caFile = nullptr;  // PEM bundle; null or "": libcurl's built-in default
    // Folders of CA certificates, separated by ':'; the first that holds one is used, and its
    // regular files are read whatever their names (symbolic links are not followed). Null or
    // "": libcurl's built-in default.
    const char* caPath = nullptr;
    const char* pinnedPem = nullptr;  // certificates trusted alone; null or "": none pinned
    mutable CaBundle folderBundle;    // what caFile and caPath hold, made on first use
};

// The build's settings: QUILLMARK_CA_FILE, QUILLMARK_CA_PATH, QUILLMARK_COLLECTOR_CA.
const TlsTrust& builtInTlsTrust();

// Later transfers trust `trust` (which must outlive them) instead; null goes back to the
// build's settings.
void replaceTlsTrust(const TlsTrust* trust);

// Sets the handle's CA options from the trust in force. A pinned certificate is trusted alone:
// the CA file and folder, the configured ones and libcurl's defaults, are then not used. With a
// folder, the handle trusts its bundle alone, made here on first use; while a
// CaBundleMadeOnly lives it uses a bundle made earlier, or else leaves file and folder to
// libcurl.
void applyTlsTrust(CURL* handle);

// While one lives, no transfer makes a CA bundle. The crash report lives under one: reading a
// folder of certificates, or waiting for the thread that is reading it, could cost the dying
// process its report.
class CaBundleMadeOnly {
public:
    CaBundleMadeOnly();
    ~CaBundleMadeOnly();
    CaBundleMadeOnly(const CaBundleMadeOnly&) = delete;
    CaBundleMadeOnly& operator=(const CaBundleMadeOnly&) = delete;
};
