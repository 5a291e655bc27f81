#include "support/scripted_state.h"

#include <utility>

#include "platform/host_capture.h"
#include "support/record_queries.h"
#include "support/stored_records.h"

namespace qm_test {

ScriptedState::ScriptedState(ScriptedCollector::Responder answers)
    : collector(std::move(answers)), storage("qm_scripted"), state(collector.factory()) {
    state.settings.batchWindowMs = kBatchWindowMs;
    qm_platform::setLogToStderr(false);
}

ScriptedState::~ScriptedState() { qm_platform::setLogToStderr(true); }

std::vector<Json::Value> ScriptedState::withBody(const std::string& body) const {
    return withField(collector.records(), "body", body);
}

bool ScriptedState::waitForBody(const std::string& body, int timeoutMs) const {
    return waitUntil([&] { return !withBody(body).empty(); }, timeoutMs);
}

}  // namespace qm_test
