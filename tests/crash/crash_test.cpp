// Real crashes: a child initialises "quillmark-user" against a loopback collector, sets a crash
// callback, opens the catcher and dies. The parent then reads what the collector received and
// lets Breakpad's minidump_stackwalk read the dump back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

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
