// Serialisation of records and the two transports: plain HTTP over our own socket, HTTPS
// through libcurl, chosen by the scheme of the collector address. Each exchange ends by its
// deadline; a whole 2xx answer is read by readCollectorAnswer, anything else answers nothing.
#include <curl/curl.h>
#include <json/value.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "transport/exchangeDeadline.h"
#include "transport/httpSender.h"
#include "transport/plainHttp.h"
#include "util/collectorAddress.h"
#include "util/curlEasy.h"
#include "util/jsonText.h"
#include "util/utilLog.h"
#include "util/utilTools.h"

namespace {

const long kHttpsConnectTimeoutSeconds = 10;

bool serialise(const MapValues& mapVals, bool keepHandlerName, std::string& strContent) {
    try {
        strContent.clear();
        jsonText::appendCompactObject(
            mapVals, keepHandlerName ? nullptr : VESK_KEY_HANDLERNAME.c_str(), strContent);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

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

// Only a whole 2xx answer is the collector's word on each record. Any other status, an answer
// whose end was not read, or none at all says nothing about them. An answer cut at
// kMaxAnswerBytes needs no case of its own: the records whose entries were cut have none.
DeliveryOutcome evaluateAnswer(bool complete, long status, const std::string& answer,
                               size_t recordCount) {
    if (complete && status >= 200 && status <= 299) {
        return HttpSender::readCollectorAnswer(answer, recordCount);
    }
    return DeliveryOutcome::all(recordCount, RecordOutcome::NotAnswered);
}

DeliveryOutcome notAnswered(const Batch& batch) {
    return DeliveryOutcome::all(batch.size(), RecordOutcome::NotAnswered);
}

// A shutdown that pulled the cut-off in before the exchange began: nothing is sent, so the
// collector cannot take a batch that is also kept.
bool cutOffBeforeStart(const ExchangeDeadline& deadline) {
    if (!deadline.passed()) return false;
    _info_log("[_handleRequest] exchange cut off before it began");
    return true;
}

}  // namespace

bool HttpSender::_getHttpBody(const MapValues& mapVals, std::string& strContent) {
    return serialise(mapVals, false, strContent);
}

bool HttpSender::_getHttpOriBody(const MapValues& mapVals, std::string& strContent) {
    return serialise(mapVals, true, strContent);
}

std::string HttpSender::_getHttpHeader(const CollectorAddress& collector, size_t uiSize) {
    std::string header = "POST " + collector.pathPrefix + _uri_v2_string + " HTTP/1.1\r\n";
    header += "Host: " + collector.authority() + "\r\n";
    header += UtilTools::utilFformat("Content-Type: application/json\r\n");
    header += UtilTools::utilFformat("Content-Length: %zu\r\n", uiSize);
    header += "\r\n";
    return header;
}

DeliveryOutcome HttpSender::postToCollector(const std::string& address, uint16_t port,
                                            const Batch& batch) {
    const std::optional<CollectorAddress> collector = parseCollectorAddress(address, port);
    if (!collector) {
        _warn_log("[postToCollector] invalid collector address : " + address);
        return notAnswered(batch);
    }
    if (collector->https) {
        _info_log("send https");
        return _httpsHandleRequest(*collector, batch);
    }
    _info_log("send http");
    return _httpHandleRequest(*collector, batch);
}

DeliveryOutcome HttpSender::_httpHandleRequest(const CollectorAddress& collector,
                                               const Batch& batch) {
    if (!m_initializeByThread) {
        _info_log("[_handleRequest] m_initializeByThread false");
        return notAnswered(batch);
    }
    try {
        const ExchangeDeadline deadline(kExchangeTimeout);
        if (cutOffBeforeStart(deadline)) return notAnswered(batch);
        const std::string& body = batch.body();
        const std::string head = _getHttpHeader(collector, body.size());
        plainHttp::Answer answer =
            plainHttp::exchange(collector.host, collector.port, head, body, deadline);
        if (!answer.connected) _warn_log("INVALID_SOCKET");
        if (answer.connected && !answer.sent) _warn_log("SEND_FAILED");
        if (answer.connected && !answer.complete) _warn_log("NO_COMPLETE_ANSWER");
        return evaluateAnswer(answer.complete, answer.status, answer.body, batch.size());
    } catch (const std::exception&) {
        _warn_log("_httpHandleRequest Exception");
        return notAnswered(batch);
    }
}

DeliveryOutcome HttpSender::_httpsHandleRequest(const CollectorAddress& collector,
                                                const Batch& batch) {
    if (!m_initializeByThread) {
        _info_log("[_handleRequest] m_initializeByThread false");
        return notAnswered(batch);
    }
    CurlHandle curl = newCurlHandle();
    if (!curl) {
        _warn_log("libcurl initialize failed");
        return notAnswered(batch);
    }
    try {
        const ExchangeDeadline deadline(kExchangeTimeout);
        if (cutOffBeforeStart(deadline)) return notAnswered(batch);
        CURL* handle = curl.get();
        const CurlHeaders headers =
            prepareJsonPost(handle, {collector.url(_uri_v2_string), collector.port, &batch.body(),
                                     m_tlsVerify, kHttpsConnectTimeoutSeconds, 0});
        const std::function<bool()> stop = [&deadline] { return deadline.passed(); };
        // Never 0, which libcurl reads as no bound.
        setTransferBound(handle, std::max<long>(1, deadline.remaining().count()), &stop);
        CurlResponse response;
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write_to_string);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);

        const CURLcode result = curl_easy_perform(handle);
        long status = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        if (result != CURLE_OK) _info_log(std::string("HTTPS: ") + curl_easy_strerror(result));
        return evaluateAnswer(result == CURLE_OK, status, response.body, batch.size());
    } catch (const std::exception&) {
        return notAnswered(batch);
    }
}
