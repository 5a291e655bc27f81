#pragma once

// What every libcurl request of the library shares: the process-wide initialisation, owned
// handles, and the set-up of a JSON POST to a collector.
#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using CurlHeaders = std::unique_ptr<curl_slist, CurlListDeleter>;

// libcurl's global initialisation, run once per process whichever thread needs it first.
// It is never cleaned up: other threads may still use libcurl while the process runs.
void ensureCurlGlobalInit();

// A new handle that never raises signals (the library's threads are not the app's to
// disturb); null when libcurl cannot make one. Runs the global initialisation first.
CurlHandle newCurlHandle();

// Forgets every option set on the handle, keeping its connections and TLS sessions for the
// next transfer; the handle again never raises signals.
void resetCurlHandle(CURL* handle);

// Checks the server's certificate and name against the trust in force (util/tlsTrust.h), or
// neither.
void setTlsVerification(CURL* handle, bool verify);

// "Content-Type: application/json"; for a POST also an empty "Expect:", which spares the
// "100-continue" round trip before a long body. Null when there is no memory for the list.
CurlHeaders jsonHeaders(bool post);

struct JsonPost {
    std::string url;  // scheme, host and path; the port is separate
    uint16_t port = 0;
    const std::string* body = nullptr;  // not copied: must outlive the transfer
    bool verifyTls = false;
    long connectTimeoutSeconds = 0;
    long totalTimeoutSeconds = 0;
};

// Sets the handle up to post the body as JSON. The returned headers are in use by the handle
// until the transfer ends; the caller keeps them alive until then.
CurlHeaders prepareJsonPost(CURL* handle, const JsonPost& post);
// The same for a GET of the URL; the body is not sent.
CurlHeaders prepareJsonGet(CURL* handle, const JsonPost& get);

// Bounds the whole transfer by timeoutMs and ends it early once stop() says so. stop is asked
// from libcurl's progress callback: many times a second while data moves, about once a second
// while the peer stalls. stop is not copied and must outlive the transfer.
void setTransferBound(CURL* handle, long timeoutMs, const std::function<bool()>* stop);
