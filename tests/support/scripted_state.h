// The library in-process on a state of its own: its exchanges answered by a scripted collector,
// its storage in a directory of its own, its log lines kept off the test's output. Cores and
// facades a test builds on `state` must go before it (declare them after this object).
#pragma once

#include <json/json.h>

#include <string>
#include <vector>

#include "core/libraryState.h"
#include "support/scripted_transport.h"
#include "support/temp_dir.h"

namespace qm_test {

struct ScriptedState {
    // Address of the scripted collector: any address reaches it, this one names it.
    static constexpr const char* kAddress = "http://collector.test";
    // The gathering window of its sending threads: short, so tests do not wait for it.
    static constexpr int kBatchWindowMs = 20;

    explicit ScriptedState(ScriptedCollector::Responder answers = ScriptedCollector::acceptAll());
    ~ScriptedState();
    ScriptedState(const ScriptedState&) = delete;
    ScriptedState& operator=(const ScriptedState&) = delete;

    // The records received so far whose "body" is `body`.
    std::vector<Json::Value> withBody(const std::string& body) const;
    // True once a record with that body arrived; false when timeoutMs passed first.
    bool waitForBody(const std::string& body, int timeoutMs) const;

    ScriptedCollector collector;
    TempDir storage;
    LibraryState state;
};

}  // namespace qm_test
