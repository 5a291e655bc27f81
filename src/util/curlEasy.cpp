#include "util/curlEasy.h"

#include <mutex>

#include "util/tlsTrust.h"

namespace {

int stopWhenAsked(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return (*static_cast<const std::function<bool()>*>(stop))() ? 1 : 0;
}

}  // namespace

void ensureCurlGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

CurlHandle newCurlHandle() {
    ensureCurlGlobalInit();
    CurlHandle curl(curl_easy_init());
    if (curl) curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    return curl;
}

void resetCurlHandle(CURL* handle) {
    curl_easy_reset(handle);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
}

void setTlsVerification(CURL* handle, bool verify) {
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    if (verify) applyTlsTrust(handle);
}

CurlHeaders jsonHeaders(bool post) {
    CurlHeaders headers(curl_slist_append(nullptr, "Content-Type: application/json"));
    // Without memory for the second entry the list stays as it was: the request still goes.
    if (headers && post) curl_slist_append(headers.get(), "Expect:");
    return headers;
}

namespace {

CurlHeaders prepareJson(CURL* handle, const JsonPost& request, bool post) {
    CurlHeaders headers = jsonHeaders(post);
    curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, post ? "POST" : "GET");
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_PORT, static_cast<long>(request.port));
    if (post) {
        const std::string& body = *request.body;
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
    }
    setTlsVerification(handle, request.verifyTls);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, request.connectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, request.totalTimeoutSeconds);
    return headers;
}

}  // namespace

CurlHeaders prepareJsonPost(CURL* handle, const JsonPost& post) {
    return prepareJson(handle, post, true);
}

CurlHeaders prepareJsonGet(CURL* handle, const JsonPost& get) {
    return prepareJson(handle, get, false);
}

void setTransferBound(CURL* handle, long timeoutMs, const std::function<bool()>* stop) {
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, stopWhenAsked);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, const_cast<std::function<bool()>*>(stop));
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
}
