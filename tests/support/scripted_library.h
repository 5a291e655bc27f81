// The whole library on a state of its own whose every exchange a scripted collector answers, in
// the test's process: channels, the sending thread, the store and the settings request. It
// stands in for a forked child and a collector process wherever no process boundary is crossed.
#pragma once

#include <json/json.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/libraryState.h"
#include "core/vesk2.h"
#include "support/scripted_transport.h"
#include "support/stored_records.h"

namespace qm_test {

class ScriptedLibrary {
    // First, so that they outlive the core: its sending thread stores what it could not deliver
    // while it stops, and the store's observer keeps those records here.
    mutable std::mutex m_mutex;
    std::vector<StoredRecord> m_stored;

public:
    // The address every channel is registered with; the script sees it in each request's URL.
    static constexpr const char* kAddress = "http://127.0.0.1";
    static constexpr int kPort = 8088;
    // The gathering window of its sending thread: short, so tests do not wait for it.
    static constexpr int kBatchWindowMs = 20;

    // beforeTransport, when given, runs on the thread that asks for a transport before each is
    // made: the sending thread's first pass waits in it for as long as it does.
    explicit ScriptedLibrary(
        ScriptedCollector::Responder responder = ScriptedCollector::acceptAll(),
        std::function<void()> beforeTransport = nullptr);

    // The core's initialise against kAddress:kPort, with version "1.0.0" and the defaults.
    int init(const std::string& project, const std::string& storage, bool heldBack,
             const char* channel = VESK_CHANNEL_USER);
    // Every record handed to the store, in order (before its failure count is looked at).
    std::vector<StoredRecord> stored() const;

    // Destroyed in reverse order: the core stops its sending thread before the state goes.
    ScriptedCollector collector;
    LibraryState state;
    VESK2Log core;
};

}  // namespace qm_test
