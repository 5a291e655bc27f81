#include "transport/batchDelivery.h"

#include <exception>
#include <optional>

#include "transport/collectorAnswer.h"
#include "transport/exchangeDeadline.h"
#include "util/collectorAddress.h"
#include "util/utilLog.h"

const char* const kLogPath = "/v2/log";

namespace {

DeliveryOutcome notAnswered(const Batch& batch) {
    return DeliveryOutcome::all(batch.size(), RecordOutcome::NotAnswered);
}

void logFailure(const CollectorAnswer& answer) {
    if (!answer.failure.empty()) {
        _warn_log("exchange failed: " + answer.failure);
    } else if (!answer.connected) {
        _warn_log("INVALID_SOCKET");
    } else if (!answer.sent) {
        _warn_log("SEND_FAILED");
    } else if (!answer.complete) {
        _warn_log("NO_COMPLETE_ANSWER");
    }
}

}  // namespace

DeliveryOutcome deliverBatch(CollectorTransport& transport, const std::string& address,
                             uint16_t port, const Batch& batch) {
    const std::optional<CollectorAddress> collector = parseCollectorAddress(address, port);
    if (!collector) {
        _warn_log("[postToCollector] invalid collector address : " + address);
        return notAnswered(batch);
    }
    try {
        const ExchangeDeadline deadline(kExchangeTimeout);
        // Nothing is sent, so the collector cannot take a batch that is also kept.
        if (deadline.passed()) {
            _warn_log("[_handleRequest] exchange cut off before it began");
            return notAnswered(batch);
        }
        CollectorRequest request;
        request.target = *collector;
        request.path = kLogPath;
        request.body = &batch.body();
        const CollectorAnswer answer = transport.exchange(request, deadline);
        // Only a whole 2xx answer is the collector's word on each record. An answer cut at
        // its bound needs no case of its own: the records whose entries were cut have none.
        if (answer.complete && answer.status >= 200 && answer.status <= 299) {
            return readCollectorAnswer(answer.body, batch.size());
        }
        logFailure(answer);
        return notAnswered(batch);
    } catch (const std::exception&) {
        _warn_log("[postToCollector] exchange failed");
        return notAnswered(batch);
    }
}
