#include "support/scripted_transport.h"

#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#include "util/jsonText.h"

namespace qm_test {

namespace {

class ScriptedTransport : public CollectorTransport {
public:
    explicit ScriptedTransport(ScriptedCollector& collector) : m_collector(collector) {}
    CollectorAnswer exchange(const CollectorRequest& request,
                             const ExchangeDeadline& deadline) override {
        return m_collector.exchange(request, deadline);
    }

private:
    ScriptedCollector& m_collector;
};

}  // namespace

ScriptedCollector::ScriptedCollector(Responder responder) : m_responder(std::move(responder)) {}

std::string ScriptedCollector::answerFor(const std::vector<bool>& taken) {
    std::string list;
    for (const bool entry : taken) {
        list += std::string(list.empty() ? "" : ",") + R"({"isSuccessful":)" +
                (entry ? "true" : "false") + "}";
    }
    return R"({"header":{"code":200},"body":{"data":{"resultList":[)" + list + "]}}}";
}

CollectorAnswer ScriptedCollector::answered(long status, const std::string& body) {
    CollectorAnswer answer;
    answer.connected = answer.sent = answer.complete = true;
    answer.status = status;
    answer.body = body;
    return answer;
}

ScriptedCollector::Responder ScriptedCollector::acceptAll() {
    return [](const SeenRequest& request, const ExchangeDeadline&) {
        return answered(200, answerFor(std::vector<bool>(request.records.size(), true)));
    };
}

ScriptedCollector::Responder ScriptedCollector::always(long status, const std::string& body) {
    return [status, body](const SeenRequest&, const ExchangeDeadline&) {
        return answered(status, body);
    };
}

ScriptedCollector::Responder ScriptedCollector::stall() {
    return [](const SeenRequest&, const ExchangeDeadline& deadline) {
        while (!deadline.passed()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        CollectorAnswer answer;
        answer.connected = answer.sent = true;
        return answer;
    };
}

ScriptedCollector::Responder ScriptedCollector::unreachable() {
    return [](const SeenRequest&, const ExchangeDeadline&) { return CollectorAnswer(); };
}

void ScriptedCollector::setResponder(Responder responder) {
    std::lock_guard lock(m_mutex);
    m_responder = std::move(responder);
}

TransportFactory ScriptedCollector::factory() {
    return [this]() -> std::unique_ptr<CollectorTransport> {
        return std::make_unique<ScriptedTransport>(*this);
    };
}

CollectorAnswer ScriptedCollector::exchange(const CollectorRequest& request,
                                            const ExchangeDeadline& deadline) {
    SeenRequest seen;
    seen.get = request.get;
    seen.url = request.target.url(request.path);
    if (!request.get && request.body != nullptr) seen.body = *request.body;
    Json::Value parsed;
    if (!seen.body.empty() && jsonText::parse(seen.body, parsed)) {
        if (parsed.isArray()) {
            for (const Json::Value& record : parsed) seen.records.push_back(record);
        } else if (parsed.isObject()) {
            seen.records.push_back(parsed);
        }
    }
    Responder responder;
    {
        std::lock_guard lock(m_mutex);
        responder = m_responder;
    }
    // Answered before the request is seen: a waiter woken by it finds its outcome settled
    // as far as the collector is concerned.
    CollectorAnswer answer = responder ? responder(seen, deadline) : CollectorAnswer();
    // As a real transport keeps it: the start of a longer answer, marked cut.
    if (answer.body.size() > request.maxAnswerBytes) {
        answer.body.resize(request.maxAnswerBytes);
        answer.cut = true;
    }
    {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(std::move(seen));
    }
    m_arrived.notify_all();
    return answer;
}

std::vector<SeenRequest> ScriptedCollector::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::vector<Json::Value> ScriptedCollector::records() const {
    std::lock_guard lock(m_mutex);
    std::vector<Json::Value> all;
    for (const SeenRequest& request : m_requests) {
        all.insert(all.end(), request.records.begin(), request.records.end());
    }
    return all;
}

bool ScriptedCollector::waitForRecords(size_t count, int timeoutMs) const {
    std::unique_lock lock(m_mutex);
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        size_t seen = 0;
        for (const SeenRequest& request : m_requests) seen += request.records.size();
        return seen >= count;
    });
}

}  // namespace qm_test

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer of GCC 12 does not see std::timed_mutex::try_lock_for take its lock (the
// pthread_mutex_clocklock it waits in is not intercepted), so the unlock that follows reads as
// the unlock of a mutex not held. The registry's bounded waits are such locks, reached in
// process by the kept-crash delivery of a library on the scripted collector.
extern "C" const char* __tsan_default_suppressions() {
    return "mutex:ChannelRegistry::crashSnapshot\nmutex:ChannelRegistry::directoryOf\n";
}
#endif
