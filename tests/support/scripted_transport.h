// A transport that runs no network: each exchange is answered by the test's script, in
// process. Every transport the factory makes shares one script, so the requests of the sending
// thread, the measuring thread and a crash report are all seen in one place, in order.
#pragma once

#include <json/json.h>

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "transport/transport.h"

namespace qm_test {

// A request as the scripted collector saw it.
struct SeenRequest {
    bool get = false;
    // Scheme, authority, path prefix and path.
    std::string url;
    std::string body;
    // The records of a JSON array (or object) body, parsed; empty for anything else.
    std::vector<Json::Value> records;
};

class ScriptedCollector {
public:
    // Decides the answer to one request; it may wait on the deadline to play a stalled peer.
    using Responder = std::function<CollectorAnswer(const SeenRequest&, const ExchangeDeadline&)>;

    // Without a responder every record posted is accepted.
    explicit ScriptedCollector(Responder responder = acceptAll());

    // A 200 answer whose "resultList" takes every record of the request.
    static Responder acceptAll();
    // The same answer to every request: body with status, read to its end.
    static Responder always(long status, const std::string& body);
    // That answer itself: connected, sent, and read to its end.
    static CollectorAnswer answered(long status, const std::string& body);
    // Connects, sends, and hears nothing until the deadline ends the exchange.
    static Responder stall();
    // No connection at all.
    static Responder unreachable();
    // The collector answer for records, each taken when its entry of `taken` is true.
    static std::string answerFor(const std::vector<bool>& taken);

    void setResponder(Responder responder);
    TransportFactory factory();

    std::vector<SeenRequest> requests() const;
    // Every record of every request, in order of arrival.
    std::vector<Json::Value> records() const;
    // True once at least `count` records arrived; false when `timeoutMs` passed first.
    bool waitForRecords(size_t count, int timeoutMs) const;

    CollectorAnswer exchange(const CollectorRequest& request, const ExchangeDeadline& deadline);

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_arrived;
    Responder m_responder;
    std::vector<SeenRequest> m_requests;
};

}  // namespace qm_test
