// Serialisation of records and the two transports: plain HTTP over our own socket, HTTPS
// through libcurl. Both end by handing the collector's answer to is_collector_message.
#include <curl/curl.h>
#include <json/value.h>

#include <exception>
#include <memory>
#include <string>

#include "transport/httpSender.h"
#include "transport/plainHttp.h"
#include "util/curlEasy.h"
#include "util/jsonText.h"
#include "util/utilLog.h"
#include "util/utilTools.h"

namespace {

const long kHttpsConnectTimeoutSeconds = 10;
const long kHttpsTotalTimeoutSeconds = 30;

bool serialise(const MapValues& mapVals, bool keepHandlerName, std::string& strContent) {
    try {
        Json::Value object(Json::objectValue);
        for (const auto& [key, value] : mapVals) {
            if (!keepHandlerName && key == VESK_KEY_HANDLERNAME) continue;
            object[key] = value;
        }
        strContent = jsonText::writeCompact(object);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Statuses that say the collector did not take the batch, whatever the body says.
bool isRefusalStatus(long status) { return status >= 500 || status == 408 || status == 429; }

struct CurlResponse {
    std::string body;
    bool cut = false;
};

size_t write_to_string(void* ptr, size_t size, size_t count, void* stream) {
    auto* response = static_cast<CurlResponse*>(stream);
    const size_t total = size * count;
    const size_t room = HttpSender::kMaxAnswerBytes - response->body.size();
    if (total > room) response->cut = true;
    response->body.append(static_cast<const char*>(ptr), total > room ? room : total);
    return total;
}

}  // namespace

bool HttpSender::_getHttpBody(const MapValues& mapVals, std::string& strContent) {
    return serialise(mapVals, false, strContent);
}

bool HttpSender::_getHttpOriBody(const MapValues& mapVals, std::string& strContent) {
    return serialise(mapVals, true, strContent);
}

std::string HttpSender::_getHttpHeader(const std::string& addr, int port, size_t uiSize) {
    std::string header = "POST " + _uri_v2_string + " HTTP/1.1\r\n";
    header += UtilTools::utilFformat("Host: %s:%d\r\n", addr.c_str(), port);
    header += UtilTools::utilFformat("Content-Type: application/json\r\n");
    header += UtilTools::utilFformat("Content-Length: %zu\r\n", uiSize);
    header += "\r\n";
    return header;
}

void HttpSender::_httpHandleRequest(const std::string& strAddr, uint16_t uiPort,
                                    const std::string& strContent, const std::string&,
                                    const std::string& strBody, const std::string& handlerName) {
    if (!m_initializeByThread) {
        _info_log("[_handleRequest] m_initializeByThread false");
        return;
    }
    try {
        plainHttp::Answer answer = plainHttp::exchange(strAddr, uiPort, strContent);
        if (!answer.connected) _warn_log("INVALID_SOCKET");
        if (answer.connected && !answer.sentAll) _warn_log("SEND_FAILED");
        if (isRefusalStatus(answer.status)) {
            storeWholeBulk(strBody, handlerName);
            return;
        }
        is_collector_message(answer.text, strBody, handlerName, answer.cut);
    } catch (const std::exception&) {
        _warn_log("_httpHandleRequest Exception");
    }
}

double HttpSender::_httpsHandleRequest(const std::string& strAddr, uint16_t uiPort,
                                       const std::string& strContent, const std::string&,
                                       const std::string& strBody, const std::string& handlerName) {
    if (!m_initializeByThread) {
        _info_log("[_handleRequest] m_initializeByThread false");
        return 0;
    }
    CurlHandle curl = newCurlHandle();
    if (!curl) {
        _warn_log("libcurl initialize failed");
        return 0;
    }
    try {
        CURL* handle = curl.get();
        const CurlHeaders headers =
            prepareJsonPost(handle, {strAddr + _uri_v2_string, uiPort, &strContent, m_tlsVerify,
                                     kHttpsConnectTimeoutSeconds, kHttpsTotalTimeoutSeconds});
        CurlResponse response;
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write_to_string);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);

        const CURLcode result = curl_easy_perform(handle);
        long status = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        double totalTime = 0;
        curl_easy_getinfo(handle, CURLINFO_TOTAL_TIME, &totalTime);
        if (result != CURLE_OK) response.body.clear();
        if (result == CURLE_OK && isRefusalStatus(status)) {
            storeWholeBulk(strBody, handlerName);
        } else {
            is_collector_message(response.body, strBody, handlerName, response.cut);
        }
        return totalTime;
    } catch (const std::exception&) {
        return 0;
    }
}
