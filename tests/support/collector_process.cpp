#include "support/collector_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "support/file_text.h"
#include "util/tlsTrust.h"

namespace qm_test {
namespace {

// Adds a certificate to the ones the library trusts alone. Library threads may be reading the
// trust in force, so every bundle and trust ever published stays alive and unchanged.
void pinCertificate(const std::string& pem) {
    static std::mutex mutex;
    static std::deque<std::string> bundles;
    static std::deque<TlsTrust> trusts;
    const std::lock_guard<std::mutex> lock(mutex);
    bundles.push_back((bundles.empty() ? std::string() : bundles.back()) + pem);
    trusts.emplace_back().pinnedPem = bundles.back().c_str();
    replaceTlsTrust(&trusts.back());
}

constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;

// The collector may be writing while we read: a line without its line feed is left for later.
std::vector<Json::Value> readJsonLines(const std::string& path) {
    const std::string text = readFileText(path);
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::vector<Json::Value> values;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
        Json::Value value;
        std::string errors;
        if (reader->parse(text.data() + start, text.data() + end, &value, &errors)) {
            values.push_back(value);
        }
        start = end + 1;
    }
    return values;
}

bool reaped(pid_t pid, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        const pid_t ended = ::waitpid(pid, &status, WNOHANG);
        if (ended == pid || (ended < 0 && errno == ECHILD)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace

CollectorProcess::CollectorProcess(const CollectorOptions& options)
    : m_options(options), m_dir("quillmark_collector") {
    spawn();
    try {
        waitUntilListening();
        if (m_options.https && m_options.pinCertificate) {
            const std::string pem = readFileText(m_dir.file("cert.pem"));
            if (pem.empty()) throw std::runtime_error("no certificate from the collector");
            pinCertificate(pem);
        }
    } catch (...) {
        stop();
        throw;
    }
}

CollectorProcess::~CollectorProcess() { stop(); }

std::string CollectorProcess::address() const {
    return m_options.https ? "https://127.0.0.1" : "http://127.0.0.1";
}

std::vector<Json::Value> CollectorProcess::records() const {
    return readJsonLines(m_dir.file("records.jsonl"));
}

std::string CollectorProcess::recordsText() const {
    return readFileText(m_dir.file("records.jsonl"));
}

std::vector<Json::Value> CollectorProcess::requests() const {
    return readJsonLines(m_dir.file("requests.jsonl"));
}

size_t CollectorProcess::recordCount() const {
    std::ifstream in(m_dir.file("records.jsonl"), std::ios::binary);
    size_t lines = 0;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        lines += static_cast<size_t>(std::count(buffer, buffer + in.gcount(), '\n'));
    }
    return lines;
}

bool CollectorProcess::waitForRecordCount(size_t count, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (recordCount() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool CollectorProcess::waitForRecords(size_t count, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (records().size() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void CollectorProcess::stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    if (!reaped(m_pid, kStopTimeoutMs)) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
}

std::vector<std::string> CollectorProcess::commandLine() const {
    std::vector<std::string> args = {QM_COLLECTOR_EXE,
                                     "--port",
                                     "0",
                                     "--port-file",
                                     m_dir.file("port"),
                                     "--out",
                                     m_dir.file("records.jsonl"),
                                     "--mode",
                                     m_options.mode};
    if (m_options.recordRequests) {
        args.push_back("--requests");
        args.push_back(m_dir.file("requests.jsonl"));
    }
    if (m_options.https) {
        args.push_back("--https");
        args.push_back("--cert-out");
        args.push_back(m_dir.file("cert.pem"));
    }
    args.insert(args.end(), m_options.extraArgs.begin(), m_options.extraArgs.end());
    return args;
}

// fork and exec rather than threads of our own: the collector is a native binary even when the
// tests run as i386 code under qemu-i386.
void CollectorProcess::spawn() {
    if (std::string(QM_COLLECTOR_EXE).empty()) {
        throw std::runtime_error("no collector: QM_COLLECTOR_EXE is empty");
    }
    std::vector<std::string> args = commandLine();
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string logPath = m_dir.file("collector.log");
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (log >= 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
        }
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() == parent) ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (log >= 0) ::close(log);
    if (m_pid < 0) throw std::runtime_error("fork failed for the collector");
}

void CollectorProcess::waitUntilListening() {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string text = readFileText(m_dir.file("port"));
        if (!text.empty() && text.back() == '\n') {
            const long port = std::strtol(text.c_str(), nullptr, 10);
            if (port <= 0 || port > 65535) throw std::runtime_error("bad port file: " + text);
            m_port = static_cast<uint16_t>(port);
            return;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            throw std::runtime_error("the collector ended at start: " + logText());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("the collector did not start within 10 s: " + logText());
}

std::string CollectorProcess::logText() const { return readFileText(m_dir.file("collector.log")); }

}  // namespace qm_test
