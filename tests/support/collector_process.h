// Starts the loopback collector (quillmark_collector) as a separate process for one test.
#pragma once

#include <json/json.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace qm_test {

struct CollectorOptions {
    bool https = false;
    // One of the collector's --mode values: ok, stall, close, reset, garbage, html, truncated,
    // big, long-result, wrong-type, no-result, multiline, split.
    std::string mode = "ok";
    // Further command-line arguments, e.g. {"--fail-index", "1"} or {"--status", "503"}.
    std::vector<std::string> extraArgs;
    // Keep every request (headers and body) for requests(); benchmarks switch it off.
    bool recordRequests = true;
    // With https: the library of this process (and of children forked later) trusts the
    // collector's self-signed certificate, as a deployment pins its collector's. Off, the
    // collector stays a stranger whose certificate checks must refuse.
    bool pinCertificate = true;
};

// The collector gets SIGTERM when the thread that constructed this object ends, so construct it
// on a thread that outlives it (the test's own thread, or the child of runInChild).
class CollectorProcess {
public:
    // Returns once the collector listens; throws std::runtime_error, with the collector's own
    // messages, when it does not within 10 s.
    explicit CollectorProcess(const CollectorOptions& options = CollectorOptions());
    ~CollectorProcess();
    CollectorProcess(const CollectorProcess&) = delete;
    CollectorProcess& operator=(const CollectorProcess&) = delete;

    uint16_t port() const { return m_port; }
    // The collector's process id (to read its CPU time in /proc); -1 once it was stopped.
    pid_t pid() const { return m_pid; }
    // Scheme and host only, as the library takes them; the port is separate.
    std::string address() const;
    // With https: the file of the collector's self-signed certificate (PEM).
    std::string certificateFile() const { return m_dir.file("cert.pem"); }

    // Every record received so far, in order of arrival.
    std::vector<Json::Value> records() const;
    // The same as the collector wrote them, one line each.
    std::string recordsText() const;
    // One object per request received: "path", "method", "headers", "body", "records".
    std::vector<Json::Value> requests() const;
    // True once at least `count` records arrived; false when `timeoutMs` passed first.
    bool waitForRecords(size_t count, int timeoutMs) const;
    // The same, counting lines without parsing them: for tens of thousands of records.
    bool waitForRecordCount(size_t count, int timeoutMs) const;
    // Number of records received so far.
    size_t recordCount() const;

    // Ends the collector (SIGTERM, SIGKILL if it lingers); what it received stays readable.
    void stop();

private:
    std::vector<std::string> commandLine() const;
    void spawn();
    void waitUntilListening();
    std::string logText() const;

    CollectorOptions m_options;
    TempDir m_dir;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
};

}  // namespace qm_test
