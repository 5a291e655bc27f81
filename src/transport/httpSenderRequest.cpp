// Serialisation of records and the choice of transport: plain HTTP over our own socket, HTTPS
// through libcurl, as the scheme of the collector address says. The sender keeps one transport
// of each kind, so batches after the first go on the connection already open. Each exchange
// ends by its deadline; a whole 2xx answer is read by readCollectorAnswer, anything else
// answers nothing.
#include <json/value.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "transport/exchangeDeadline.h"
#include "transport/httpSender.h"
#include "transport/httpsTransport.h"
#include "transport/plainHttp.h"
#include "util/collectorAddress.h"
#include "util/jsonText.h"
#include "util/utilLog.h"

namespace {

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
    return plainHttp::requestHead(collector, _uri_v2_string, uiSize);
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
        if (!m_plainTransport) m_plainTransport = std::make_unique<plainHttp::PlainHttpTransport>();
        const CollectorAnswer answer =
            m_plainTransport->post(collector, _uri_v2_string, batch.body(), deadline);
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
    try {
        const ExchangeDeadline deadline(kExchangeTimeout);
        if (cutOffBeforeStart(deadline)) return notAnswered(batch);
        // Connections made under one TLS setting are not for the other.
        const bool verifyTls = m_tlsVerify;
        if (!m_httpsTransport || m_httpsTransportVerifies != verifyTls) {
            m_httpsTransport = std::make_unique<HttpsTransport>(verifyTls);
            m_httpsTransportVerifies = verifyTls;
        }
        const CollectorAnswer answer =
            m_httpsTransport->post(collector, _uri_v2_string, batch.body(), deadline);
        if (!answer.failure.empty()) _info_log("HTTPS: " + answer.failure);
        return evaluateAnswer(answer.complete, answer.status, answer.body, batch.size());
    } catch (const std::exception&) {
        return notAnswered(batch);
    }
}
