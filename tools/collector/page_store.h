// What the page shows: the latest records and crashes, kept in memory, and each crash's stack
// as the symbolication tool printed it (made on a thread of its own, never on a client's post).
#pragma once

#include <json/json.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "options.h"
#include "record_scanner.h"
#include "recorder.h"
#include "symbolicator.h"

namespace collector {

// The page is for looking, not for keeping: the oldest go first past these.
constexpr size_t kMaxPageRecords = 5000;
constexpr size_t kMaxPageCrashes = 100;
// Dumps waiting for the tool are held whole; past this a crash is shown without its stack.
constexpr size_t kMaxWaitingDumps = 16;
constexpr int kSymbolicateTimeoutMs = 30000;

struct PageRecord {
    uint64_t seq = 0;
    // Compact JSON, its DmpData replaced by the dump's size.
    std::string json;
};

struct PageCrash {
    uint64_t seq = 0;
    std::string json;
    // "no-symbols", "waiting", "done", "failed" or "no-dump"; the text goes with it.
    std::string stackState;
    std::string stackText;
};

struct WaitingDump {
    uint64_t seq = 0;
    std::string base64;
};

inline bool parseRecord(const char* text, size_t size, Json::Value& value) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text, text + size, &value, &errors);
}

class PageStore {
public:
    explicit PageStore(const Options& options)
        : m_tool(options.symbolicateTool), m_symbolDirs(options.symbolDirs) {
        if (canSymbolicate()) m_worker = std::thread([this] { symbolicateWaitingDumps(); });
    }

    ~PageStore() {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        if (m_worker.joinable()) m_worker.join();
    }

    PageStore(const PageStore&) = delete;
    PageStore& operator=(const PageStore&) = delete;

    void add(const std::string& body, const std::vector<ScannedRecord>& records) {
        // Parsed outside the lock: the page's poll must not wait for a large post.
        std::vector<Json::Value> values(records.size());
        for (size_t i = 0; i < records.size(); ++i) {
            parseRecord(body.data() + records[i].start, records[i].limit - records[i].start,
                        values[i]);
        }
        bool queued = false;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            for (const Json::Value& value : values) queued |= addLocked(value);
        }
        if (queued) m_changed.notify_all();
    }

    // The records from `since` on (as many as are still kept) and every kept crash.
    std::string stateJson(uint64_t since) const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        std::string text = "{\"next\":" + std::to_string(m_nextSeq) + ",\"records\":[";
        bool first = true;
        for (const PageRecord& record : m_records) {
            if (record.seq < since) continue;
            if (!first) text += ',';
            first = false;
            text += "{\"seq\":" + std::to_string(record.seq) + ",\"record\":" + record.json + "}";
        }
        text += "],\"crashes\":[";
        first = true;
        for (const PageCrash& crash : m_crashes) {
            if (!first) text += ',';
            first = false;
            Json::Value stack(Json::objectValue);
            stack["state"] = crash.stackState;
            stack["text"] = crash.stackText;
            text += "{\"seq\":" + std::to_string(crash.seq) + ",\"record\":" + crash.json +
                    ",\"stack\":" + compactJson(stack) + "}";
        }
        return text + "]}";
    }

private:
    bool canSymbolicate() const { return !m_tool.empty() && !m_symbolDirs.empty(); }

    // True when a dump was queued for the tool.
    bool addLocked(const Json::Value& value) {
        const uint64_t seq = m_nextSeq++;
        const std::string json = compactJson(printableRecord(value, true));
        m_records.push_back(PageRecord{seq, json});
        if (m_records.size() > kMaxPageRecords) m_records.pop_front();
        if (!value.isObject() || !value["DmpData"].isString()) return false;

        PageCrash crash{seq, json, "", ""};
        const std::string& dump = value["DmpData"].asString();
        bool queued = false;
        if (dump.empty()) {
            crash.stackState = "no-dump";
            crash.stackText = "The crash record carries no dump.";
        } else if (!canSymbolicate()) {
            crash.stackState = "no-symbols";
            crash.stackText = m_tool.empty()
                                  ? "No symbol store was given: start the collector with "
                                    "--symbolicate TOOL --symbols DIR to see the stack."
                                  : "No symbol store was given: add --symbols DIR to see the "
                                    "stack.";
        } else if (m_waiting.size() >= kMaxWaitingDumps) {
            crash.stackState = "failed";
            crash.stackText = "Not read: too many crashes arrived at once.";
        } else {
            crash.stackState = "waiting";
            crash.stackText = "Reading the dump...";
            m_waiting.push_back(WaitingDump{seq, dump});
            queued = true;
        }
        m_crashes.push_back(crash);
        if (m_crashes.size() > kMaxPageCrashes) m_crashes.pop_front();
        return queued;
    }

    void symbolicateWaitingDumps() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_stopping || !m_waiting.empty(); });
            if (m_stopping) return;
            const WaitingDump next = std::move(m_waiting.front());
            m_waiting.pop_front();
            lock.unlock();
            const ToolRun run = symbolicate(next.base64);
            lock.lock();
            for (PageCrash& crash : m_crashes) {
                if (crash.seq != next.seq) continue;
                crash.stackState = run.ok ? "done" : "failed";
                if (run.ok) {
                    crash.stackText = run.output;
                } else if (!run.started) {
                    crash.stackText = "Not read: " + run.failure + ".";
                } else {
                    crash.stackText = m_tool + " failed (" + run.failure + ")" +
                                      (run.output.empty() ? std::string() : ":\n" + run.output);
                }
            }
        }
    }

    ToolRun symbolicate(const std::string& base64) {
        ToolRun run;
        std::string bytes;
        if (!decodeBase64(base64, bytes)) {
            run.failure = "DmpData is not Base64";
            return run;
        }
        TemporaryFile file(".dmp");
        if (!file.write(bytes)) {
            run.failure = "cannot write the dump to a temporary file";
            return run;
        }
        std::vector<std::string> argv = {m_tool};
        for (const std::string& dir : m_symbolDirs) {
            argv.push_back("--symbols");
            argv.push_back(dir);
        }
        argv.push_back(file.path());
        return runTool(argv, kSymbolicateTimeoutMs, [this] {
            const std::lock_guard<std::mutex> lock(m_mutex);
            return m_stopping;
        });
    }

    const std::string m_tool;
    const std::vector<std::string> m_symbolDirs;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;
    uint64_t m_nextSeq = 0;
    std::deque<PageRecord> m_records;
    std::deque<PageCrash> m_crashes;
    std::deque<WaitingDump> m_waiting;
    std::thread m_worker;
};

}  // namespace collector
