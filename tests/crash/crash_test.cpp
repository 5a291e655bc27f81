// Real crashes: a child initialises "quillmark-user" against a loopback collector, sets a crash
// callback, opens the catcher and dies. The parent then reads what the collector received and
// lets Breakpad's minidump_stackwalk read the dump back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "crash/crashWatchdog.h"
#include "crash/veskCatcher.h"
#include "crash_support.h"
#include "plume/quillmark.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/raw_server.h"
#include "support/record_queries.h"
#include "support/stored_records.h"
#include "support/temp_dir.h"

namespace qm_crash_scenes {

// Not inlined and not folded away, so that the dump's stack names them.
__attribute__((noinline)) void crashByNullWrite() {
    volatile int* volatile target = nullptr;
    *target = 42;
}

// The walker has no unwind information for libc's abort and scans the stack for return
// addresses there; what earlier calls of the set-up left below this frame would be taken for
// callers, so that area is cleared first.
__attribute__((noinline)) void clearStackBelow() {
    volatile char area[16384];
    for (size_t i = 0; i < sizeof area; ++i) area[i] = 0;
}

__attribute__((noinline)) void crashByAbort() {
    clearStackBelow();
    std::abort();
}

// glibc finds the second free while it holds the heap's lock and aborts with it held, so a
// report that allocates would wait for that lock for ever. The blocks are too large for the
// per-thread cache, which would catch the double free before taking the lock; the second block
// keeps the first from merging into the top of the heap.
__attribute__((noinline)) void crashInsideTheAllocator() {
    void* volatile first = std::malloc(64 * 1024 - 64);
    void* volatile fence = std::malloc(64 * 1024 - 64);
    std::free(first);
    std::free(first);
    std::free(fence);
}

// Each frame keeps a page of its own alive, so the recursion runs into the guard page quickly.
// The depth limit is never reached; it only keeps the compiler from calling this endless.
__attribute__((noinline)) int overflowTheStack(int depth) {
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    if (depth == 1 << 30) return 0;
    return overflowTheStack(depth + 1) + frame[0];
}

__attribute__((noinline)) void crashOnSecondThread() {
    volatile int* volatile target = nullptr;
    *target = 7;
}

}  // namespace qm_crash_scenes

namespace {

using qm_crash::CallbackProbe;
using qm_crash::kCrashBody;
using qm_test::CollectorOptions;
using qm_test::CollectorProcess;
using qm_test::runInChild;
using qm_test::TempDir;

const int kChildTimeoutMs = 60000;
const char* const kProject = "CrashApp";

struct Target {
    std::string address;
    uint16_t port = 0;
};

std::string dumpDirOf(const TempDir& storage) { return storage.path() + "/quillmark/" + kProject; }

// The child's part: everything an application does before it crashes, then `crash`.
int setUpAndCrash(const Target& target, const TempDir& storage, CallbackProbe& probe,
                  const std::function<void()>& crash) {
    qm_platform::startLogCapture();
    qm_test::observeStorage(storage.file("stored.jsonl"));
    if (QuillMarkInitialize(kProject, storage.path().c_str(), "2.0.1", target.address.c_str(),
                            target.port, "crash-src", "crash-type", true, false,
                            "quillmark-user") != 0) {
        return 2;
    }
    QuillMarkAddCustomKey("build", "77");
    QuillMarkSetUserId("crash-user");
    QuillMarkSetCrashCallback(qm_crash::probeCallback, &probe);
    if (QuillMarkOpenCrashCatcher() != 1) return 3;
    crash();
    return 4;
}

int crashInChild(const Target& target, const TempDir& storage, const std::function<void()>& crash) {
    return runInChild(
        [&] {
            CallbackProbe probe{storage.file("callback.txt"), dumpDirOf(storage)};
            return setUpAndCrash(target, storage, probe, crash);
        },
        kChildTimeoutMs);
}

// The one crash record the collector received, after checking it came alone in its request.
Json::Value theCrashRecord(const CollectorProcess& collector) {
    const std::vector<Json::Value> crashRequests = qm_crash::crashRequests(collector);
    EXPECT_EQ(1u, crashRequests.size());
    if (crashRequests.size() != 1) return Json::Value();
    EXPECT_EQ(1u, crashRequests[0]["records"].asUInt());
    const std::vector<Json::Value> records = qm_test::withBody(collector, kCrashBody);
    return records.size() == 1 ? records[0] : Json::Value();
}

void expectCompleteRecord(const Json::Value& record) {
    EXPECT_EQ("FATAL", record["logLevel"].asString());
    EXPECT_EQ("CrashDump", record["logSource"].asString());
    EXPECT_EQ(kProject, record["projectName"].asString());
    EXPECT_EQ("2.0.1", record["projectVersion"].asString());
    EXPECT_EQ("crash-type", record["logType"].asString());
    EXPECT_EQ("77", record["build"].asString());
    EXPECT_EQ("crash-user", record["UserID"].asString());
    EXPECT_FALSE(record["NetworkModel"].asString().empty());
    EXPECT_FALSE(record["NetworkType"].asString().empty());
    EXPECT_EQ("v2", record["logVersion"].asString());
}

// The application's callback ran once, after the report had read the dump ("sendcrash start"
// logged, the dump there to be emptied, yet the whole dump arrived) and before the request
// ("sendCrashReport" not yet logged; its time not after the record's sendTime).
void expectCallbackBetweenReadAndRequest(const TempDir& storage, const Json::Value& record) {
    const std::vector<qm_crash::ProbeLine> calls =
        qm_crash::readProbe(storage.file("callback.txt"));
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ(1, calls[0].sawReportStart);
    EXPECT_EQ(0, calls[0].sawSending);
    EXPECT_EQ(1u, calls[0].dumps);
    EXPECT_LE(calls[0].timeMs, std::stoull(record["sendTime"].asString()));
}

// Crashes a child that reports to `collector` and expects it to die of `signal`; returns the
// crash record it sent, checked for what every crash record holds, or null when none came.
Json::Value crashAgainst(const CollectorProcess& collector, const TempDir& storage, int signal,
                         const std::function<void()>& crash) {
    EXPECT_EQ(128 + signal, crashInChild({collector.address(), collector.port()}, storage, crash));
    const Json::Value record = theCrashRecord(collector);
    if (record.isObject()) expectCompleteRecord(record);
    return record;
}

qm_crash::Stackwalk walkDumpOf(const Json::Value& record) {
    const std::string dump = qm_crash::decodeBase64(record["DmpData"].asString());
    EXPECT_EQ("MDMP", dump.substr(0, 4));
    return qm_crash::stackwalk(dump);
}

}  // namespace

TEST(Crash, NullWriteOnTheMainThreadIsReportedFromTheDyingProcess) {
    QM_SKIP_UNLESS_CRASHES_RUN();
    CollectorProcess collector;
    TempDir storage;
    const Json::Value record =
        crashAgainst(collector, storage, SIGSEGV, [] { qm_crash_scenes::crashByNullWrite(); });
    ASSERT_TRUE(record.isObject());
    expectCallbackBetweenReadAndRequest(storage, record);
    const qm_crash::Stackwalk walk = walkDumpOf(record);
    EXPECT_EQ(0, walk.reason.find("SIGSEGV")) << walk.reason;
    EXPECT_EQ(0, walk.crashedThread);
    EXPECT_TRUE(qm_crash::hasFrame(walk, "crashByNullWrite"));
    EXPECT_TRUE(qm_crash::dumpsIn(dumpDirOf(storage)).empty());
}

TEST(Crash, AbortIsReported) {
    QM_SKIP_UNLESS_CRASHES_RUN();
    CollectorProcess collector;
    TempDir storage;
    const Json::Value record =
        crashAgainst(collector, storage, SIGABRT, [] { qm_crash_scenes::crashByAbort(); });
    ASSERT_TRUE(record.isObject());
    EXPECT_EQ(1u, qm_crash::readProbe(storage.file("callback.txt")).size());
    const qm_crash::Stackwalk walk = walkDumpOf(record);
    EXPECT_EQ(0, walk.reason.find("SIGABRT")) << walk.reason;
    EXPECT_TRUE(qm_crash::hasFrame(walk, "crashByAbort"));
    EXPECT_TRUE(qm_crash::dumpsIn(dumpDirOf(storage)).empty());
}

TEST(Crash, SecondThreadCrashesWhileOthersLog) {
    QM_SKIP_UNLESS_CRASHES_RUN();
    CollectorProcess collector;
    TempDir storage;
    const Json::Value record = crashAgainst(collector, storage, SIGSEGV, [&collector] {
        std::atomic<bool> logging{true};
        std::vector<std::thread> loggers;
        for (int i = 0; i < 2; ++i) {
            loggers.emplace_back([&logging, i] {
                const std::string text = "busy logger " + std::to_string(i);
                while (logging) {
                    QuillMarkSendLog(QUILLMARK_WARN, text.c_str());
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
        }
        // The crash comes while records are on their way.
        qm_test::waitForBody(collector, "busy logger 0", 10000);
        std::thread([] { qm_crash_scenes::crashOnSecondThread(); }).join();
    });
    ASSERT_TRUE(record.isObject());
    EXPECT_FALSE(qm_test::withBody(collector, "busy logger 0").empty());
    EXPECT_EQ(1u, qm_crash::readProbe(storage.file("callback.txt")).size());
    const qm_crash::Stackwalk walk = walkDumpOf(record);
    EXPECT_EQ(0, walk.reason.find("SIGSEGV")) << walk.reason;
    // Main thread, sending thread, two loggers and the one that crashed.
    EXPECT_GE(walk.threadCount, 5);
    EXPECT_GT(walk.crashedThread, 0);
    EXPECT_TRUE(qm_crash::hasFrame(walk, "crashOnSecondThread"));
    EXPECT_TRUE(qm_crash::dumpsIn(dumpDirOf(storage)).empty());
}

TEST(Crash, ReportTravelsOverHttps) {
    QM_SKIP_UNLESS_CRASHES_RUN();
    CollectorOptions options;
    options.https = true;
    CollectorProcess collector(options);
    TempDir storage;
    const Json::Value record =
        crashAgainst(collector, storage, SIGSEGV, [] { qm_crash_scenes::crashByNullWrite(); });
    ASSERT_TRUE(record.isObject());
    expectCallbackBetweenReadAndRequest(storage, record);
    EXPECT_TRUE(qm_crash::hasFrame(walkDumpOf(record), "crashByNullWrite"));
    EXPECT_TRUE(qm_crash::dumpsIn(dumpDirOf(storage)).empty());
}

TEST(Crash, UnreachableCollectorKeepsTheRecordAndStillDeletesTheDump) {
    QM_SKIP_UNLESS_CRASHES_RUN();
    TempDir storage;
    const Target target{"http://127.0.0.1", qm_test::unusedLoopbackPort()};
    EXPECT_EQ(128 + SIGSEGV,
              crashInChild(target, storage, [] { qm_crash_scenes::crashByNullWrite(); }));

    const std::vector<qm_test::StoredRecord> stored =
        qm_crash::storedCrashes(storage.file("stored.jsonl"));
    // The sending thread may set the channel up while the report runs and send the stored
    // record once more, which fails and stores it again: at least once, never lost.
    ASSERT_FALSE(stored.empty());
    expectCompleteRecord(stored[0].record);
    EXPECT_TRUE(qm_crash::hasFrame(walkDumpOf(stored[0].record), "crashByNullWrite"));
    EXPECT_TRUE(qm_crash::dumpsIn(dumpDirOf(storage)).empty());
}

// Opened without any channel: the callback's steps are logged, nothing is read or sent, the
// application's callback is not called, and the dump is still deleted.
TEST(Crash, CatcherWithoutCollectorOnlyDeletesTheDump) {
    QM_SKIP_UNLESS_CRASHES_RUN();
    TempDir storage;
    const std::string logFile = storage.file("child.log");
    const int status = runInChild(
        [&] {
            const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, STDERR_FILENO);
            CallbackProbe probe{storage.file("callback.txt"), storage.path()};
            gs_globalCracher.initSdCardPath(storage.path());
            gs_globalCracher.initCrashCallbak(qm_crash::probeCallback, &probe);
            if (!gs_globalCracher.openCrashCatcher(false, VESK_LANG_DEFAULT)) return 3;
            qm_crash_scenes::crashByNullWrite();
            return 4;
        },
        kChildTimeoutMs);
    EXPECT_EQ(128 + SIGSEGV, status);

    const std::string log = qm_test::readFileText(logFile);
    size_t at = 0;
    for (const char* line : {"crash dump process start", "sendcrash start", "delete old crash",
                             "delete done", "crashCallback finish"}) {
        at = log.find(std::string("I/NDK: ") + line, at);
        EXPECT_NE(std::string::npos, at) << line << " missing or out of order in:\n" << log;
    }
    EXPECT_EQ(std::string::npos, log.find("sendCrashReport"));
    EXPECT_TRUE(qm_crash::readProbe(storage.file("callback.txt")).empty());
    EXPECT_TRUE(qm_crash::dumpsIn(storage.path()).empty());
}

// Whatever the report blocks in, the process dies of its own signal within the watchdog's
// bound: a collector that accepts and never answers, and a crash inside the allocator, where
// the report's first allocation waits for a lock the crashed thread holds.
namespace {

long long monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct FrozenReport {
    const char* name;
    const char* collectorMode;
    int signal;
    void (*crash)();
};

}  // namespace

TEST(Crash, ABlockedReportNeverOutlivesTheWatchdogsBound) {
    QM_SKIP_UNLESS_CRASHES_RUN();
    const FrozenReport rows[] = {
        {"collector never answers", "stall", SIGSEGV, qm_crash_scenes::crashByNullWrite},
        {"collector answers a byte a second", "trickle", SIGSEGV,
         qm_crash_scenes::crashByNullWrite},
        {"double free", "ok", SIGABRT, qm_crash_scenes::crashInsideTheAllocator},
    };
    const long long boundMs = CrashWatchdog::kDeathBound.count();
    for (const FrozenReport& row : rows) {
        SCOPED_TRACE(row.name);
        CollectorOptions options;
        options.mode = row.collectorMode;
        CollectorProcess collector(options);
        TempDir storage;
        const std::string faultTime = storage.file("fault.txt");
        const int status =
            crashInChild({collector.address(), collector.port()}, storage, [&faultTime, &row] {
                qm_test::writeFileText(faultTime, std::to_string(monotonicMs()));
                row.crash();
            });
        const long long diedAt = monotonicMs();
        EXPECT_EQ(128 + row.signal, status);
        const long long faultAt = std::atoll(qm_test::readFileText(faultTime).c_str());
        ASSERT_GT(faultAt, 0);
        // The bound, plus what the test's own polling and a loaded machine add.
        EXPECT_LT(diedAt - faultAt, boundMs + 2000);
    }
}

// A forked child inherits the watchdog's pipe but not its thread: its crash must not arm the
// parent's watchdog, which would kill the parent that did not crash.
TEST(Crash, AForkedChildsCrashLeavesTheParentAlive) {
    QM_SKIP_UNLESS_CRASHES_RUN();
    CollectorProcess collector;
    TempDir storage;
    const int status = crashInChild({collector.address(), collector.port()}, storage, [] {
        const pid_t child = fork();
        if (child == 0) qm_crash_scenes::crashByNullWrite();
        int childStatus = 0;
        waitpid(child, &childStatus, 0);
        std::this_thread::sleep_for(CrashWatchdog::kDeathBound + std::chrono::seconds(1));
        _exit(WIFSIGNALED(childStatus) && WTERMSIG(childStatus) == SIGSEGV ? 0 : 5);
    });
    EXPECT_EQ(0, status);
}

// A stack overflow leaves the handler no stack but the thread's alternate one: the thread that
// opened the catcher has Breakpad's, and a thread that has logged has one of the library's.
TEST(Crash, StackOverflowIsReportedFromEveryThreadThatLogged) {
    QM_SKIP_UNLESS_CRASHES_RUN();
    const struct {
        const char* name;
        std::function<void()> crash;
    } rows[] = {
        {"main thread", [] { qm_crash_scenes::overflowTheStack(0); }},
        {"thread that logged",
         [] {
             std::thread([] {
                 QuillMarkSendLog(QUILLMARK_INFO, "about to overflow");
                 qm_crash_scenes::overflowTheStack(0);
             }).join();
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CollectorProcess collector;
        TempDir storage;
        const Json::Value record = crashAgainst(collector, storage, SIGSEGV, row.crash);
        ASSERT_TRUE(record.isObject());
        EXPECT_TRUE(qm_crash::hasFrame(walkDumpOf(record), "overflowTheStack"));
    }
}
