// Measures what the library costs the application thread, how fast records reach a loopback
// collector, and the CPU that takes in the library's own threads and in the collector. Every
// measurement runs in a child process of its own (the library keeps process-wide state) against
// a collector of its own and is repeated; each figure is the median of the runs. The output is
// Markdown tables.
//
//   qm_bench [--runs N] [--only TEXT] [--micro]   (the recovery table's row: "stall, then")
//       --only TEXT   only the rows whose name contains TEXT, e.g. "plain HTTP, 1" to profile one
//       --micro       also the Google Benchmark micro benchmarks
//       --only "custom fields"  the custom-field figures alone
//   qm_bench --accounting [--runs N]  where 20,000 records from 4 threads ended, and how long
//                                     QuillMarkDestroy took, per collector behaviour
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/libraryState.h"
#include "platform/host_capture.h"
#include "plume/quillmark.h"
#include "proc_usage.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/raw_server.h"
#include "support/record_queries.h"
#include "support/temp_dir.h"
#include "transport/httpSender.h"
#include "transport/recordJournal.h"
#include "transport/recordWriter.h"

using Clock = std::chrono::steady_clock;

namespace {

const char kMessage[] = "user tapped the checkout button; cart holds 3 items, total 42.17 EUR";

// The numbers one run hands back to the parent, in an order each family defines.
using Figures = std::vector<double>;
using ChildBody = std::function<Figures(qm_test::CollectorProcess&, const std::string& storage)>;

int initChannel(const qm_test::CollectorProcess& collector, const std::string& storage) {
    return QuillMarkInitialize("BenchApp", storage.c_str(), "1.0.0", collector.address().c_str(),
                               collector.port(), nullptr, nullptr, true, false, "quillmark-user");
}

// Every message differs (a repeated one would be dropped as a duplicate); built before timing.
std::vector<std::string> distinctMessages(int count) {
    std::vector<std::string> messages;
    messages.reserve(count);
    for (int i = 0; i < count; ++i)
        messages.push_back(std::string(kMessage) + " #" + std::to_string(i));
    return messages;
}

double percentile(const std::vector<double>& sorted, double fraction) {
    const size_t index = static_cast<size_t>(fraction * (sorted.size() - 1));
    return sorted[index];
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// perf and /proc/self/task show thread names: the benchmark's own threads get names of their
// own, and the library's keep the program's name (they are started while it is unchanged).
void nameThisThread(const char* name) { pthread_setname_np(pthread_self(), name); }

// Runs body in a child and returns the figures it wrote, or none when the child failed.
Figures inChild(qm_test::CollectorProcess& collector, const ChildBody& body) {
    qm_test::TempDir dir("qm_bench");
    const std::string resultFile = dir.file("result.txt");
    const int status = qm_test::runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            std::ofstream out(resultFile);
            for (double value : body(collector, dir.path())) out << value << "\n";
            out.close();
            return 0;
        },
        300000);
    Figures values;
    if (status != 0) return values;
    std::ifstream in(resultFile);
    for (double value; in >> value;) values.push_back(value);
    return values;
}

// Runs body `runs` times, each against a fresh collector in a fresh child, and keeps the runs
// that handed back all `count` figures.
std::vector<Figures> repeat(const qm_test::CollectorOptions& options, int runs, size_t count,
                            const ChildBody& body) {
    std::vector<Figures> kept;
    for (int run = 0; run < runs; ++run) {
        qm_test::CollectorProcess collector(options);
        Figures values = inChild(collector, body);
        if (values.size() == count) kept.push_back(std::move(values));
    }
    return kept;
}

// The median of every figure over the runs, figure by figure.
Figures medians(const std::vector<Figures>& runs, size_t count) {
    Figures result(count, 0);
    for (size_t column = 0; column < count; ++column) {
        std::vector<double> values;
        for (const Figures& run : runs) values.push_back(run[column]);
        result[column] = median(values);
    }
    return result;
}

// The medians of a row's runs, figure by figure; false, with the row saying so, when every run
// failed.
bool rowMedians(const char* name, const std::vector<Figures>& kept, size_t count, Figures& m) {
    if (kept.empty()) {
        printf("| %s | run failed |\n", name);
        return false;
    }
    m = medians(kept, count);
    return true;
}

// A row's name, and how many runs its medians come from when some failed.
std::string rowLabel(const char* name, size_t kept, int runs) {
    if (kept == static_cast<size_t>(runs)) return name;
    return std::string(name) + " (" + std::to_string(kept) + " of " + std::to_string(runs) +
           " runs)";
}

bool selected(const char* rowName, const char* only) {
    return only == nullptr || std::strstr(rowName, only) != nullptr;
}

// sendLog on the app thread: calls in bursts of 100, 5 ms apart (about 20,000 a second).
struct LatencyRow {
    const char* name;
    const char* mode;  // the collector's --mode
    int calls;
    // False: the library is not used, and each call builds and frees a map of three fields
    // under a mutex instead. Its tail is the machine's: the first call after each pause finds
    // the caches cold.
    bool library;
};
const LatencyRow kLatencyRows[] = {
    {"healthy collector", "ok", 20000, true},
    {"collector accepts, never answers, 20,000 calls", "stall", 20000, true},
    {"collector accepts, never answers", "stall", 100000, true},
    {"floor: a 3-field std::map built and freed instead", "ok", 20000, false},
};

// The floor row's call: about the least a logging call can do.
bool floorCall(const std::string& message) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::map<std::string, std::string> fields{
        {"body", message}, {"logLevel", "INFO"}, {"sendTime", std::to_string(message.size())}};
    benchmark::DoNotOptimize(fields);
    return true;
}
enum LatencyFigure { kP50, kP99, kP999, kMax, kRefused, kRssGrowth, kLatencyFigures };

// Every call timed. Figures: percentiles and max in microseconds, calls refused, and the growth
// of resident memory in MiB from just before the first call to just after the last.
Figures latencyRun(const qm_test::CollectorProcess& collector, const std::string& storage,
                   int calls, bool library) {
    // Built and written to before the first VmRSS reading: the growth is then the library's.
    const std::vector<std::string> messages = distinctMessages(calls);
    std::vector<double> micros(calls, 0.0);
    if (library && initChannel(collector, storage) != 0) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double residentBefore = qm_bench::residentKiB();
    double refused = 0;
    for (int i = 0; i < calls; ++i) {
        const auto start = Clock::now();
        const bool queued = library ? QuillMarkSendLog(QUILLMARK_INFO, messages[i].c_str()) == 1
                                    : floorCall(messages[i]);
        const auto end = Clock::now();
        micros[i] = std::chrono::duration<double, std::micro>(end - start).count();
        if (!queued) ++refused;
        if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double residentAfter = qm_bench::residentKiB();
    if (residentBefore < 0 || residentAfter < 0) return {};
    const double growthMiB = (residentAfter - residentBefore) / 1024;
    std::sort(micros.begin(), micros.end());
    return {percentile(micros, 0.50),
            percentile(micros, 0.99),
            percentile(micros, 0.999),
            micros.back(),
            refused,
            growthMiB};
}

void reportLatency(int runs, const char* only) {
    printf(
        "| sendLog on the app thread | calls | p50 | p99 | p99.9 | max | refused | "
        "VmRSS growth |\n");
    printf("|---|---|---|---|---|---|---|---|\n");
    for (const LatencyRow& row : kLatencyRows) {
        if (!selected(row.name, only)) continue;
        qm_test::CollectorOptions options;
        options.mode = row.mode;
        options.recordRequests = false;
        const std::vector<Figures> kept =
            repeat(options, runs, kLatencyFigures,
                   [&](qm_test::CollectorProcess& collector, const std::string& storage) {
                       return latencyRun(collector, storage, row.calls, row.library);
                   });
        Figures m;
        if (!rowMedians(row.name, kept, kLatencyFigures, m)) continue;
        printf("| %s | %d | %.2f µs | %.2f µs | %.1f µs | %.0f µs | %.0f | %.2f MiB |\n",
               rowLabel(row.name, kept.size(), runs).c_str(), row.calls, m[kP50], m[kP99], m[kP999],
               m[kMax], m[kRefused], m[kRssGrowth]);
    }
    printf("\n");
}

// Recovery: 20,000 calls in the same bursts while a collector accepts and never answers; then it
// is ended and one that answers listens on its port. Figures: calls refused, seconds from the
// answering collector's start until every accepted record arrived, and of the accepted records
// those that arrived out of order (an older one after a newer), twice, or not at all.
enum RecoveryFigure {
    kRecRefused,
    kRecSeconds,
    kRecOutOfOrder,
    kRecTwice,
    kRecMissing,
    kRecFigures
};

Figures recoveryRun(const std::string& storage) {
    const int calls = 20000;
    const std::vector<std::string> messages = distinctMessages(calls);
    qm_test::CollectorOptions stalling;
    stalling.mode = "stall";
    stalling.recordRequests = false;
    auto stalled = std::make_unique<qm_test::CollectorProcess>(stalling);
    const uint16_t port = stalled->port();
    if (initChannel(*stalled, storage) != 0) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::map<std::string, int> accepted;
    for (int i = 0; i < calls; ++i) {
        if (QuillMarkSendLog(QUILLMARK_INFO, messages[i].c_str()) == 1) accepted[messages[i]] = i;
        if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stalled.reset();
    qm_test::CollectorOptions answering;
    answering.recordRequests = false;
    answering.extraArgs = {"--port", std::to_string(port)};
    const auto start = Clock::now();
    qm_test::CollectorProcess collector(answering);
    // The session record too, which the stalled collector never answered for.
    collector.waitForRecordCount(accepted.size() + 1, 30000);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    QuillMarkDestroy();
    std::map<std::string, int> seen;
    int last = -1;
    double outOfOrder = 0;
    for (const Json::Value& record : collector.records()) {
        const auto found = accepted.find(record["body"].asString());
        if (found == accepted.end()) continue;
        if (seen[found->first]++ > 0) continue;
        if (found->second < last) ++outOfOrder;
        last = std::max(last, found->second);
    }
    double twice = 0;
    for (const auto& [body, count] : seen) twice += count > 1 ? 1 : 0;
    return {static_cast<double>(calls - accepted.size()), seconds, outOfOrder, twice,
            static_cast<double>(accepted.size() - seen.size())};
}

void reportRecovery(int runs) {
    printf(
        "| collector never answers for 20,000 calls, then one answers | refused | s until all "
        "arrived | out of order | twice | missing |\n");
    printf("|---|---|---|---|---|---|\n");
    std::vector<Figures> kept;
    for (int run = 0; run < runs; ++run) {
        qm_test::TempDir dir("qm_bench");
        const std::string resultFile = dir.file("result.txt");
        const int status = qm_test::runInChild(
            [&] {
                qm_platform::setLogToStderr(false);
                std::ofstream out(resultFile);
                for (double value : recoveryRun(dir.path())) out << value << "\n";
                return 0;
            },
            300000);
        Figures values;
        std::ifstream in(resultFile);
        for (double value; status == 0 && in >> value;) values.push_back(value);
        if (values.size() == kRecFigures) kept.push_back(values);
    }
    if (kept.empty()) {
        printf("| run failed |\n\n");
        return;
    }
    const Figures m = medians(kept, kRecFigures);
    printf("| %s | %.0f | %.1f | %.0f | %.0f | %.0f |\n\n",
           rowLabel("stall, then recovery", kept.size(), runs).c_str(), m[kRecRefused],
           m[kRecSeconds], m[kRecOutOfOrder], m[kRecTwice], m[kRecMissing]);
}

// Delivered records: app threads hand over 100,000 records, each retried until queued.
struct ThroughputRow {
    const char* name;
    bool https;
    int appThreads;
};
const ThroughputRow kThroughputRows[] = {
    {"plain HTTP, 1 app thread", false, 1},
    {"plain HTTP, 4 app threads", false, 4},
    {"HTTPS, 1 app thread", true, 1},
    {"HTTPS, 4 app threads", true, 4},
};
constexpr int kThroughputRecords = 100000;
enum ThroughputFigure {
    kRecordsPerSecond,
    kLibraryCpu,
    kCollectorCpu,
    kAppCpu,
    kThroughputFigures
};

// One app thread's share of the records; returns the thread's own CPU seconds, read as it ends.
double sendShare(const std::vector<std::string>& messages, size_t first, size_t end) {
    nameThisThread("bench-app");
    for (size_t i = first; i < end; ++i) {
        while (QuillMarkSendLog(QUILLMARK_INFO, messages[i].c_str()) != 1) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
    return qm_bench::threadCpuSeconds(qm_bench::currentThreadId());
}

// CPU seconds, read at one moment, of this process (threads that ended included), of the thread
// that reads and of the collector.
struct CpuReading {
    double process = -1;
    double thisThread = -1;
    double collector = -1;
    bool valid() const { return process >= 0 && thisThread >= 0 && collector >= 0; }
};

CpuReading readCpu(const qm_test::CollectorProcess& collector) {
    CpuReading reading;
    reading.process = qm_bench::processCpuSeconds(::getpid());
    reading.thisThread = qm_bench::threadCpuSeconds(qm_bench::currentThreadId());
    reading.collector = qm_bench::processCpuSeconds(collector.pid());
    return reading;
}

// Records per second from the first sendLog until the collector holds them all, and the CPU
// microseconds per record spent over that span by the library's threads, by the collector and by
// the app threads (their retries compete for the same cores). The library's share is the
// process's time less that of the benchmark's own threads: this one and the app threads, each
// read from /proc/self/task/<its id>/stat.
Figures throughputRun(const qm_test::CollectorProcess& collector, const std::string& storage,
                      int appThreads) {
    const std::vector<std::string> messages = distinctMessages(kThroughputRecords);
    if (initChannel(collector, storage) != 0) return {};
    if (!collector.waitForRecords(1, 10000)) return {};
    nameThisThread("bench-main");
    const CpuReading before = readCpu(collector);
    const auto start = Clock::now();
    std::vector<double> appCpu(appThreads, -1.0);
    std::vector<std::thread> threads;
    for (int t = 0; t < appThreads; ++t) {
        const size_t first = messages.size() * t / appThreads;
        const size_t end = messages.size() * (t + 1) / appThreads;
        threads.emplace_back([&, t, first, end] { appCpu[t] = sendShare(messages, first, end); });
    }
    for (std::thread& thread : threads) thread.join();
    if (!collector.waitForRecordCount(kThroughputRecords + 1, 120000)) return {};
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const CpuReading after = readCpu(collector);
    double appThreadsCpu = 0;
    for (double cpu : appCpu) {
        if (cpu < 0) return {};
        appThreadsCpu += cpu;
    }
    if (!before.valid() || !after.valid()) return {};
    const double libraryCpu =
        (after.process - before.process) - (after.thisThread - before.thisThread) - appThreadsCpu;
    const double perRecord = 1e6 / kThroughputRecords;
    return {kThroughputRecords / seconds, libraryCpu * perRecord,
            (after.collector - before.collector) * perRecord, appThreadsCpu * perRecord};
}

void reportThroughput(int runs, const char* only) {
    printf(
        "| delivered over | records/s | CPU per record: library threads | collector | "
        "app threads |\n");
    printf("|---|---|---|---|---|\n");
    for (const ThroughputRow& row : kThroughputRows) {
        if (!selected(row.name, only)) continue;
        qm_test::CollectorOptions options;
        options.https = row.https;
        options.recordRequests = false;
        const std::vector<Figures> kept =
            repeat(options, runs, kThroughputFigures,
                   [&](qm_test::CollectorProcess& collector, const std::string& storage) {
                       return throughputRun(collector, storage, row.appThreads);
                   });
        Figures m;
        if (!rowMedians(row.name, kept, kThroughputFigures, m)) continue;
        printf("| %s | %.0f | %.1f µs | %.1f µs | %.1f µs |\n",
               rowLabel(row.name, kept.size(), runs).c_str(), m[kRecordsPerSecond], m[kLibraryCpu],
               m[kCollectorCpu], m[kAppCpu]);
    }
    printf("\n");
}

// The cost of custom fields on the app thread: 30 fields of 4 KiB added, then sendLog with them;
// 200 fields of 64 KiB offered, most past the channel's 256 KiB bound; and how many records of
// such a channel the journal holds.
enum FieldsFigure {
    kAddSlowest,
    kAddMedian,
    kFieldsP50,
    kFieldsP99,
    kFirstAfterChange,
    kFieldsRefused,
    kFieldsFigures
};
constexpr int kFieldCount = 30;
constexpr size_t kFieldBytes = 4096;
constexpr int kFieldsCalls = 2000;
constexpr int kChanges = 20;

double microsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

std::string fieldKey(int index) { return "customField" + std::to_string(index); }

Figures customFieldsRun(const qm_test::CollectorProcess& collector, const std::string& storage,
                        size_t fieldBytes) {
    const std::vector<std::string> messages = distinctMessages(kFieldsCalls + kChanges);
    if (initChannel(collector, storage) != 0) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<double> adds;
    for (int i = 0; i < kFieldCount; ++i) {
        const std::string value(fieldBytes, static_cast<char>('a' + i % 26));
        const auto start = Clock::now();
        if (QuillMarkAddCustomKey(fieldKey(i).c_str(), value.c_str()) != 1) return {};
        adds.push_back(microsSince(start));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // In bursts of 100 as the latency rows, but 100 ms apart: about 1,000 records a second,
    // each carrying 120 KiB to the collector.
    std::vector<double> sends;
    double refused = 0;
    for (int i = 0; i < kFieldsCalls; ++i) {
        const auto start = Clock::now();
        if (QuillMarkSendLog(QUILLMARK_INFO, messages[i].c_str()) != 1) ++refused;
        sends.push_back(microsSince(start));
        if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::vector<double> firstAfter;
    for (int i = 0; i < kChanges; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const std::string value(fieldBytes, static_cast<char>('A' + i % 26));
        if (QuillMarkAddCustomKey(fieldKey(i).c_str(), value.c_str()) != 1) return {};
        const auto start = Clock::now();
        if (QuillMarkSendLog(QUILLMARK_INFO, messages[kFieldsCalls + i].c_str()) != 1) ++refused;
        firstAfter.push_back(microsSince(start));
    }
    std::sort(adds.begin(), adds.end());
    std::sort(sends.begin(), sends.end());
    return {adds.back(),
            percentile(adds, 0.5),
            percentile(sends, 0.5),
            percentile(sends, 0.99),
            median(firstAfter),
            refused};
}

enum LargeFieldsFigure { kLargeTotalMs, kLargeRefused, kLargeFigures };
constexpr int kLargeFields = 200;

Figures largeFieldsRun(const qm_test::CollectorProcess& collector, const std::string& storage) {
    if (initChannel(collector, storage) != 0) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<std::string> keys;
    for (int i = 0; i < kLargeFields; ++i) keys.push_back(fieldKey(i));
    // Key and value together at the 64 KiB a field may hold.
    const std::string value(64 * 1024 - keys.back().size(), 'v');
    double refused = 0;
    const auto start = Clock::now();
    for (const std::string& key : keys) {
        if (QuillMarkAddCustomKey(key.c_str(), value.c_str()) != 1) ++refused;
    }
    return {microsSince(start) / 1000, refused};
}

// Not timed: records of a channel with 30 fields of 4 KiB journaled into a fresh ring, each as
// sendLog journals it, until one does not fit.
double journalCapacity(const std::string& storage) {
    std::unique_ptr<RecordJournal> journal = RecordJournal::open(storage);
    if (!journal) return -1;
    auto channel = std::make_shared<MapValues>();
    (*channel)["handlerName"] = "quillmark-user";
    for (int i = 0; i < kFieldCount; ++i) (*channel)[fieldKey(i)] = std::string(kFieldBytes, 'f');
    double held = 0;
    for (;;) {
        QueuedRecord record(
            channel, {{"body", kMessage}, {"logLevel", "INFO"}, {"sendTime", "1765000000000"}});
        journal->appendAndPush(record, [] { return true; });
        if (record.sequence == 0) return held;
        ++held;
    }
}

// The second row is the same with fields of 16 bytes: what the cost owes to the channel's
// fields and not to the machine.
void reportCustomFields(int runs, const char* only) {
    const char* const name = "custom fields";
    if (!selected(name, only)) return;
    qm_test::CollectorOptions options;
    options.recordRequests = false;
    const std::vector<Figures> large =
        repeat(options, runs, kLargeFigures,
               [](qm_test::CollectorProcess& collector, const std::string& storage) {
                   return largeFieldsRun(collector, storage);
               });
    qm_test::TempDir dir("qm_bench_journal");
    const double held = journalCapacity(dir.path());
    printf(
        "| custom fields | AddCustomKey slowest | median | sendLog p50 | p99 | first sendLog "
        "after a change | sendLog refused | 200 × 64 KiB: total | refused | journal holds |\n");
    printf("|---|---|---|---|---|---|---|---|---|---|\n");
    const struct {
        const char* name;
        size_t fieldBytes;
    } rows[] = {{"30 × 4 KiB", kFieldBytes}, {"30 × 16 bytes", 16}};
    for (const auto& row : rows) {
        const std::vector<Figures> kept =
            repeat(options, runs, kFieldsFigures,
                   [&](qm_test::CollectorProcess& collector, const std::string& storage) {
                       return customFieldsRun(collector, storage, row.fieldBytes);
                   });
        Figures m;
        if (!rowMedians(row.name, kept, kFieldsFigures, m)) continue;
        printf("| %s | %.0f µs | %.1f µs | %.2f µs | %.2f µs | %.1f µs | %.0f |",
               rowLabel(row.name, kept.size(), runs).c_str(), m[kAddSlowest], m[kAddMedian],
               m[kFieldsP50], m[kFieldsP99], m[kFirstAfterChange], m[kFieldsRefused]);
        if (row.fieldBytes != kFieldBytes || large.empty()) {
            printf(" | | |\n");
            continue;
        }
        const Figures l = medians(large, kLargeFigures);
        printf(" %.1f ms%s | %.0f | %.0f records |\n", l[kLargeTotalMs],
               rowLabel("", large.size(), runs).c_str(), l[kLargeRefused], held);
    }
    printf("\n");
}

// Where records end: 4 threads send 5,000 records each, one every 0.5 ms, then QuillMarkDestroy.
enum AccountingFigure {
    kReturned1,
    kReturned0,
    kAccepted,
    kStored,
    kDropped,  // by the library's own count
    kLost,
    kAcceptedAndStored,
    kDestroyMs,
    kAccountingFigures
};

Figures accountingRun(qm_test::CollectorProcess& collector, const std::string& storage,
                      bool unreachable, bool accepts, bool diesMidway) {
    qm_platform::startLogCapture();
    const uint16_t port = unreachable ? qm_test::unusedLoopbackPort() : collector.port();
    if (QuillMarkInitialize("BenchApp", storage.c_str(), "1.0.0", collector.address().c_str(), port,
                            nullptr, nullptr, true, false, "quillmark-user") != 0) {
        return {};
    }
    std::mutex mutex;
    std::vector<std::string> sent;
    size_t refused = 0;
    auto sendHalf = [&](const char* tag) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < 2500; ++i) {
                    const std::string body = std::string(kMessage) + " " + tag + std::to_string(t) +
                                             "-" + std::to_string(i);
                    const bool queued = QuillMarkSendLog(QUILLMARK_INFO, body.c_str()) == 1;
                    // About 8,000 records/s in all: a healthy collector keeps up, others not.
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
                    std::lock_guard<std::mutex> lock(mutex);
                    if (queued) {
                        sent.push_back(body);
                    } else {
                        ++refused;
                    }
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
    };
    sendHalf("a");
    if (diesMidway) collector.stop();
    sendHalf("b");
    const auto start = Clock::now();
    QuillMarkDestroy();
    const double destroyMs =
        std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::vector<std::string> accepted;
    if (accepts) {
        for (const Json::Value& record : collector.records()) {
            accepted.push_back(record["body"].asString());
        }
    }
    const qm_test::Accounting accounting =
        qm_test::account(sent, accepted, qm_test::storedBodies(storage + "/quillmark/BenchApp"),
                         qm_platform::capturedLogLines());
    return {static_cast<double>(sent.size()),
            static_cast<double>(refused),
            static_cast<double>(accounting.accepted),
            static_cast<double>(accounting.stored),
            static_cast<double>(accounting.dropped),
            static_cast<double>(accounting.lost.size()),
            static_cast<double>(accounting.twice.size()),
            destroyMs};
}

void reportAccounting(int runs) {
    printf(
        "| collector | returned 1 | returned 0 | accepted | stored | dropped (logged) | lost | "
        "accepted and stored | QuillMarkDestroy ms (median of %d) |\n",
        runs);
    printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const qm_test::CollectorBehaviour& row : qm_test::collectorBehaviours()) {
        qm_test::CollectorOptions options;
        options.mode = row.mode;
        options.extraArgs = row.extraArgs;
        options.recordRequests = false;
        const std::vector<Figures> kept =
            repeat(options, runs, kAccountingFigures,
                   [&](qm_test::CollectorProcess& collector, const std::string& storage) {
                       return accountingRun(collector, storage, row.unreachable, row.accepts,
                                            row.diesMidway);
                   });
        if (kept.empty()) {
            printf("| %s | run failed |\n", row.description);
            continue;
        }
        // The counts of the first run (each run must lose nothing, not match the others), the
        // median of the times.
        const Figures& first = kept.front();
        printf("| %s | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f |\n",
               rowLabel(row.description, kept.size(), runs).c_str(), first[kReturned1],
               first[kReturned0], first[kAccepted], first[kStored], first[kDropped], first[kLost],
               first[kAcceptedAndStored], medians(kept, kAccountingFigures)[kDestroyMs]);
    }
}

// A steady trickle, as an app logs in the background: 100 records, one every 100 ms. Figures:
// the requests the collector took, the context switches of the library's threads (every thread
// of the process but this one and the poller; a switch is a wake-up or a preemption) from the
// first call until the last record arrived, the same over 2 s of idle after it, the delay from
// each call to its arrival (p99, from a 1 ms poll of the collector's file) and from the last
// call to the last arrival.
enum TrickleFigure {
    kRequests,
    kWakeUps,
    kIdleWakeUps,
    kArrivalP99,
    kLastArrival,
    kTrickleFigures
};
constexpr int kTrickleRecords = 100;

// Voluntary plus involuntary context switches of this process's threads, but those named.
double contextSwitches(const std::vector<pid_t>& except) {
    double total = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        const pid_t tid = static_cast<pid_t>(std::atol(entry.path().filename().c_str()));
        if (std::find(except.begin(), except.end(), tid) != except.end()) continue;
        std::ifstream status(entry.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.find("ctxt_switches:") == std::string::npos) continue;
            total += std::atof(line.c_str() + line.find(':') + 1);
        }
    }
    return total;
}

Figures trickleRun(const qm_test::CollectorProcess& collector, const std::string& storage,
                   int windowMs) {
    if (windowMs >= 0) LibraryState::process().settings.batchWindowMs = windowMs;
    const std::vector<std::string> messages = distinctMessages(kTrickleRecords);
    if (initChannel(collector, storage) != 0) return {};
    // The session record, and the set-up's own work, before the count starts.
    if (!collector.waitForRecordCount(1, 10000)) return {};
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const size_t requestsBefore = collector.requests().size();
    std::vector<Clock::time_point> called(kTrickleRecords), arrived(kTrickleRecords);
    std::atomic<pid_t> pollerId{0};
    std::atomic<bool> polling{true};
    std::thread poller([&] {
        pollerId = qm_bench::currentThreadId();
        size_t seen = 0;
        while (polling && seen < static_cast<size_t>(kTrickleRecords)) {
            const size_t count = collector.recordCount();
            const auto now = Clock::now();
            for (; seen + 1 < count && seen < static_cast<size_t>(kTrickleRecords); ++seen) {
                arrived[seen] = now;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    while (pollerId == 0) std::this_thread::yield();
    const std::vector<pid_t> ours{qm_bench::currentThreadId(), pollerId.load()};
    const double switchesBefore = contextSwitches(ours);
    const auto start = Clock::now();
    for (int i = 0; i < kTrickleRecords; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * i));
        called[i] = Clock::now();
        if (QuillMarkSendLog(QUILLMARK_INFO, messages[i].c_str()) != 1) polling = false;
    }
    const bool all = collector.waitForRecordCount(kTrickleRecords + 1, 20000);
    polling = false;
    poller.join();
    if (!all) return {};
    const double switches = contextSwitches(ours) - switchesBefore;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double idleBefore = contextSwitches(ours);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double idle = contextSwitches(ours) - idleBefore;
    std::vector<double> delays;
    for (int i = 0; i < kTrickleRecords; ++i) {
        delays.push_back(std::chrono::duration<double, std::milli>(arrived[i] - called[i]).count());
    }
    const double last = delays.back();
    std::sort(delays.begin(), delays.end());
    return {static_cast<double>(collector.requests().size() - requestsBefore), switches, idle,
            percentile(delays, 0.99), last};
}

void reportTrickle(int runs, const char* only) {
    struct Row {
        const char* name;
        int windowMs;  // -1: the build's default
    };
    const Row rows[] = {{"trickle, the build's window", -1},
                        {"trickle, no window (each pass at once)", 0}};
    printf(
        "| 100 records, one every 100 ms | requests | library threads' context switches | the "
        "same, 2 s idle after | call → collector p99 | last call → its arrival |\n");
    printf("|---|---|---|---|---|---|\n");
    for (const Row& row : rows) {
        if (!selected(row.name, only)) continue;
        const std::vector<Figures> kept =
            repeat(qm_test::CollectorOptions(), runs, kTrickleFigures,
                   [&](qm_test::CollectorProcess& collector, const std::string& storage) {
                       return trickleRun(collector, storage, row.windowMs);
                   });
        Figures m;
        if (!rowMedians(row.name, kept, kTrickleFigures, m)) continue;
        printf("| %s | %.0f | %.0f | %.0f | %.0f ms | %.0f ms |\n",
               rowLabel(row.name, kept.size(), runs).c_str(), m[kRequests], m[kWakeUps],
               m[kIdleWakeUps], m[kArrivalP99], m[kLastArrival]);
    }
    printf("\n");
}

void BM_SerialiseRecord(benchmark::State& state) {
    MapValues record = {{"body", kMessage},
                        {"logLevel", "INFO"},
                        {"projectName", "Bench"},
                        {"SessionID", std::string(54, 's')},
                        {"sendTime", "1765000000000"}};
    std::string text;
    for (auto _ : state) {
        writeRecordObject(record, text);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_SerialiseRecord);

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    bool micro = false;
    bool accounting = false;
    const char* only = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = atoi(argv[++i]);
        if (strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
        if (strcmp(argv[i], "--micro") == 0) micro = true;
        if (strcmp(argv[i], "--accounting") == 0) accounting = true;
    }
    if (accounting) {
        reportAccounting(runs);
        return 0;
    }
    printf("Median of %d runs, each in a child process of its own with a collector of its own.\n\n",
           runs);
    reportLatency(runs, only);
    if (selected("stall, then recovery", only)) reportRecovery(runs);
    reportThroughput(runs, only);
    reportTrickle(runs, only);
    reportCustomFields(runs, only);
    fflush(stdout);

    if (micro) {
        int benchArgc = 1;
        benchmark::Initialize(&benchArgc, argv);
        benchmark::RunSpecifiedBenchmarks();
    }
    return 0;
}
