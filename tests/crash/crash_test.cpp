// Real crashes: a child initialises "quillmark-user" against a loopback collector, sets a crash
// callback, opens the catcher and dies. The parent then reads what the collector received and
// lets Breakpad's minidump_stackwalk read the dump back.
#include <dirent.h>
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

#include "core/libraryState.h"
#include "core/vesk2.h"
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
    EXPECT_TRUE(record["LastLogs"].isArray());
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
    const std::string dump = qm_test::decodeBase64(record["DmpData"].asString());
    EXPECT_EQ("MDMP", dump.substr(0, 4));
    return qm_crash::stackwalk(dump);
}

}  // namespace

// Reported from the dying process: the record alone in its request and complete, the
// application's callback once between the report's read of the dump and its request, the dump
// gone once the collector took it, and Breakpad's own reader finds in the dump the signal, the
// thread and the function that crashed.
namespace {

struct ReportedCrashRow {
    const char* name;
    bool https;
    int signal;
    const char* reason;
    std::function<void(const CollectorProcess&)> crash;
    const char* frame;
    bool onMainThread = true;
    int threads = 1;
};

// Two threads log while a third crashes, once their records are on their way; a child whose
// records never arrive ends with 9 instead of the signal.
void crashWhileOthersLog(const CollectorProcess& collector) {
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
    if (!qm_test::waitForBody(collector, "busy logger 0", 10000)) _exit(9);
    std::thread([] { qm_crash_scenes::crashOnSecondThread(); }).join();
}

}  // namespace

TEST(Crash, IsReportedFromTheDyingProcess) {
    QM_SKIP_UNLESS_CRASHES_RUN();
    const auto nullWrite = [](const CollectorProcess&) { qm_crash_scenes::crashByNullWrite(); };
    const ReportedCrashRow rows[] = {
        {"null write on the main thread", false, SIGSEGV, "SIGSEGV", nullWrite, "crashByNullWrite"},
        {"abort", false, SIGABRT, "SIGABRT",
         [](const CollectorProcess&) { qm_crash_scenes::crashByAbort(); }, "crashByAbort"},
        {"over https", true, SIGSEGV, "SIGSEGV", nullWrite, "crashByNullWrite"},
        // Main thread, sending thread, two loggers and the one that crashed.
        {"second thread while others log", false, SIGSEGV, "SIGSEGV", crashWhileOthersLog,
         "crashOnSecondThread", false, 5},
    };
    for (const ReportedCrashRow& row : rows) {
        SCOPED_TRACE(row.name);
        CollectorOptions options;
        options.https = row.https;
        CollectorProcess collector(options);
        TempDir storage;
        const Json::Value record =
            crashAgainst(collector, storage, row.signal, [&] { row.crash(collector); });
        if (!record.isObject()) continue;
        expectCallbackBetweenReadAndRequest(storage, record);
        const qm_crash::Stackwalk walk = walkDumpOf(record);
        EXPECT_EQ(0, walk.reason.find(row.reason)) << walk.reason;
        if (row.onMainThread) {
            EXPECT_EQ(0, walk.crashedThread);
        } else {
            EXPECT_GT(walk.crashedThread, 0);
            // The signal handler read the loggers' last records from the journal.
            const Json::Value& logs = record["LastLogs"];
            ASSERT_FALSE(logs.empty());
            EXPECT_EQ(0u, logs[logs.size() - 1]["body"].asString().find("busy logger"));
        }
        EXPECT_GE(walk.threadCount, row.threads);
        EXPECT_TRUE(qm_crash::hasFrame(walk, row.frame));
        EXPECT_TRUE(qm_crash::dumpsIn(dumpDirOf(storage)).empty());
    }
}

// Opened without any channel: the callback's steps are logged, nothing is read or sent, the
// application's callback is not called, and the dump stays for a start that has a collector.
TEST(Crash, CatcherWithoutCollectorKeepsTheDump) {
    QM_SKIP_UNLESS_CRASHES_RUN();
    TempDir storage;
    const std::string logFile = storage.file("child.log");
    const int status = runInChild(
        [&] {
            const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, STDERR_FILENO);
            CallbackProbe probe{storage.file("callback.txt"), storage.path()};
            gs_crashCatcher.initSdCardPath(storage.path());
            gs_crashCatcher.initCrashCallback(qm_crash::probeCallback, &probe);
            if (!gs_crashCatcher.openCrashCatcher()) return 3;
            qm_crash_scenes::crashByNullWrite();
            return 4;
        },
        kChildTimeoutMs);
    EXPECT_EQ(128 + SIGSEGV, status);

    const std::string log = qm_test::readFileText(logFile);
    size_t at = 0;
    for (const char* line :
         {"I/NDK: crash dump process start", "I/NDK: sendcrash start",
          "W/NDK: crash kept for the next start", "I/NDK: crashCallback finish"}) {
        at = log.find(line, at);
        EXPECT_NE(std::string::npos, at) << line << " missing or out of order in:\n" << log;
    }
    EXPECT_EQ(std::string::npos, log.find("sendCrashReport"));
    EXPECT_TRUE(qm_crash::readProbe(storage.file("callback.txt")).empty());
    EXPECT_EQ(1u, qm_crash::dumpsIn(storage.path()).size());
}

namespace {

long long monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

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

// Never lost: whatever the report runs into, the crash is on disk (dump and prepared record)
// before it starts, the process dies of its own signal within the watchdog's bound (also when
// the collector accepts and never answers, or when the report's first allocation waits for a
// lock the crashed thread holds), and what the crashing start did not deliver, the next start
// on the same storage folder does. Each row crashes one start against the first collector and
// then runs a next start against a healthy one; between them they hold exactly one crash
// record, with the crashed start's user ID, custom field, device ID and session ID and the time
// of the crash or of its report, and nothing stays behind.
namespace {

struct KeptCrashRow {
    const char* name;
    // The crashing start's collector: a quillmark_collector mode, or "down".
    const char* collectorMode;
    // What the crashing start dies of.
    int signal;
    std::function<void()> crash;
    // Called by the report; null for none.
    crash_func_type callback = nullptr;
    // The start is killed (SIGKILL) once its record is on disk, while its report is on the way.
    bool killWhileReporting = false;
    // A function Breakpad's reader must find on the crashed thread's stack; null for none.
    const char* frame = nullptr;
};

__attribute__((noinline)) void faultInsideTheReport(void*) { qm_crash_scenes::crashByNullWrite(); }

void abortFromHandler(int) { std::abort(); }

void twoThreadsCrashAtOnce() {
    std::atomic<int> waiting{2};
    auto crasher = [&waiting] {
        --waiting;
        while (waiting > 0) {
        }
        qm_crash_scenes::crashOnSecondThread();
    };
    std::thread first(crasher);
    std::thread second(crasher);
    first.join();
    second.join();
}

// A forked child crashes inside the allocator; the start dies of the same signal once the child
// did, and of none if the child does not die within the watchdog's bound.
void forkedChildCrashesInsideTheAllocator() {
    const pid_t child = fork();
    if (child == 0) qm_crash_scenes::crashInsideTheAllocator();
    int status = 0;
    for (int i = 0; i < 100 && waitpid(child, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(CrashWatchdog::kDeathBound / 50);
    }
    if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGABRT) {
        kill(child, SIGKILL);
        _exit(6);
    }
    signal(SIGABRT, SIG_DFL);
    raise(SIGABRT);
}

void abortInsideASignalHandler() {
    struct sigaction action {};
    action.sa_handler = abortFromHandler;
    sigaction(SIGUSR1, &action, nullptr);
    raise(SIGUSR1);
}

// The system's own watchdog, in a process of its own: kills `victim` once a record lies beside
// a dump in `directory`.
void killOnceRecorded(pid_t victim, const std::string& directory) {
    if (fork() != 0) return;
    for (int i = 0; i < 6000; ++i) {
        for (const std::string& name : qm_crash::dumpsIn(directory)) {
            const std::string record = directory + "/" + name.substr(0, name.size() - 4) + ".rec";
            if (access(record.c_str(), F_OK) == 0) {
                kill(victim, SIGKILL);
                _exit(0);
            }
        }
        usleep(5000);
    }
    _exit(1);
}

// Dumps and records, finished or not, in the dump directory.
std::vector<std::string> keptFilesIn(const std::string& directory) {
    std::vector<std::string> kept;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(directory.c_str()), closedir);
    while (const dirent* entry = dir ? readdir(dir.get()) : nullptr) {
        const std::string name = entry->d_name;
        const size_t dot = name.find('.');
        const std::string suffix = dot == std::string::npos ? std::string() : name.substr(dot);
        if (suffix == ".dmp" || suffix == ".rec" || suffix == ".rec.tmp") kept.push_back(name);
    }
    return kept;
}

// The crashing start: as setUpAndCrash, and it notes its session ID and the fault's time.
int crashAndNote(const Target& target, const TempDir& storage, const KeptCrashRow& row) {
    return runInChild(
        [&] {
            qm_platform::startLogCapture();
            if (QuillMarkInitialize(kProject, storage.path().c_str(), "2.0.1",
                                    target.address.c_str(), target.port, "crash-src", "crash-type",
                                    true, false, "quillmark-user") != 0) {
                return 2;
            }
            QuillMarkAddCustomKey("build", "77");
            QuillMarkSetUserId("crash-user");
            if (row.callback != nullptr) QuillMarkSetCrashCallback(row.callback, nullptr);
            if (QuillMarkOpenCrashCatcher() != 1) return 3;
            qm_test::writeFileText(storage.file("session.txt"),
                                   LibraryState::process().sessionId());
            if (row.killWhileReporting) killOnceRecorded(getpid(), dumpDirOf(storage));
            qm_test::writeFileText(storage.file("fault.txt"), std::to_string(monotonicMs()));
            row.crash();
            return 4;
        },
        kChildTimeoutMs);
}

// The next start: sets the channel up against `collector` and ends once nothing is kept.
int nextStart(const CollectorProcess& collector, const TempDir& storage) {
    return runInChild(
        [&] {
            if (QuillMarkInitialize(kProject, storage.path().c_str(), "2.0.1",
                                    collector.address().c_str(), collector.port(), "next-src",
                                    "crash-type", true, false, "quillmark-user") != 0) {
                return 2;
            }
            QuillMarkSetUserId("next-user");
            const bool emptied =
                qm_test::waitUntil([&] { return keptFilesIn(dumpDirOf(storage)).empty(); }, 30000);
            QuillMarkDestroy();
            return emptied ? 0 : 5;
        },
        kChildTimeoutMs);
}

void expectKeptCrashDelivered(const KeptCrashRow& row) {
    SCOPED_TRACE(row.name);
    const std::string mode = row.collectorMode;
    std::unique_ptr<CollectorProcess> first;
    Target target{"http://127.0.0.1", qm_test::unusedLoopbackPort()};
    if (mode != "down") {
        CollectorOptions options;
        options.mode = mode;
        first = std::make_unique<CollectorProcess>(options);
        target = {first->address(), first->port()};
    }
    TempDir storage;
    const int64_t before = qm_test::nowMs();
    EXPECT_EQ(128 + row.signal, crashAndNote(target, storage, row));
    const long long diedAt = monotonicMs();
    const int64_t died = qm_test::nowMs();
    const long long faultAt = std::atoll(qm_test::readFileText(storage.file("fault.txt")).c_str());
    ASSERT_GT(faultAt, 0);
    // The bound, plus what the test's own polling and a loaded machine add.
    EXPECT_LT(diedAt - faultAt, CrashWatchdog::kDeathBound.count() + 2000);
    // Kept beside the dump, not in the record store: it would arrive twice.
    EXPECT_EQ(std::string::npos,
              qm_test::readFileText(dumpDirOf(storage) + "/log.txt").find(kCrashBody));
    EXPECT_FALSE(keptFilesIn(dumpDirOf(storage)).empty() && mode != "ok");

    CollectorProcess healthy;
    EXPECT_EQ(0, nextStart(healthy, storage));
    // A collector that never answered may have seen the record; only answered ones count.
    std::vector<Json::Value> records = qm_test::withBody(healthy, kCrashBody);
    if (first && mode == "ok") {
        for (const Json::Value& record : qm_test::withBody(*first, kCrashBody)) {
            records.push_back(record);
        }
    }
    ASSERT_EQ(1u, records.size());
    const Json::Value& record = records[0];
    expectCompleteRecord(record);
    EXPECT_EQ(qm_test::readFileText(storage.file("session.txt")), record["SessionID"].asString());
    EXPECT_EQ(qm_test::readFileText(dumpDirOf(storage) + "/deviceID.db"),
              record["DeviceID"].asString());
    const int64_t sendTime = std::stoll("0" + record["sendTime"].asString());
    EXPECT_LE(before, sendTime);
    EXPECT_GE(died, sendTime);
    if (row.frame != nullptr) {
        EXPECT_TRUE(qm_crash::hasFrame(walkDumpOf(record), row.frame));
    } else {
        EXPECT_EQ("MDMP", qm_test::decodeBase64(record["DmpData"].asString()).substr(0, 4));
    }
    const std::vector<std::string> left = keptFilesIn(dumpDirOf(storage));
    EXPECT_TRUE(left.empty()) << "left: " << ::testing::PrintToString(left);
}

}  // namespace

TEST(Crash, EveryCrashReachesTheCollectorNowOrAtTheNextStart) {
    QM_SKIP_UNLESS_CRASHES_RUN();
    const KeptCrashRow rows[] = {
        {"double free", "ok", SIGABRT, qm_crash_scenes::crashInsideTheAllocator},
        {"collector stalls", "stall", SIGSEGV, qm_crash_scenes::crashByNullWrite},
        {"collector trickles", "trickle", SIGSEGV, qm_crash_scenes::crashByNullWrite},
        {"collector down", "down", SIGSEGV, qm_crash_scenes::crashByNullWrite},
        {"second fault inside the report", "ok", SIGSEGV, qm_crash_scenes::crashByNullWrite,
         faultInsideTheReport},
        {"two threads crash at once", "ok", SIGSEGV, twoThreadsCrashAtOnce},
        // The handler has no stack left but the thread's alternate one: the thread that opened
        // the catcher has Breakpad's, and a thread that has logged has one of the library's.
        {"stack overflow on the main thread", "ok", SIGSEGV,
         [] { qm_crash_scenes::overflowTheStack(0); }, nullptr, false, "overflowTheStack"},
        {"stack overflow on a logging thread", "ok", SIGSEGV,
         [] {
             std::thread([] {
                 QuillMarkSendLog(QUILLMARK_INFO, "about to overflow");
                 qm_crash_scenes::overflowTheStack(0);
             }).join();
         },
         nullptr, false, "overflowTheStack"},
        {"abort() in a signal handler", "ok", SIGABRT, abortInsideASignalHandler},
        {"a forked child's double free", "ok", SIGABRT, forkedChildCrashesInsideTheAllocator},
        {"killed while the report waits", "stall", SIGKILL, qm_crash_scenes::crashByNullWrite,
         nullptr, true},
    };
    for (const KeptCrashRow& row : rows) expectKeptCrashDelivered(row);
}
