// Measures what the library costs the application thread and how fast records reach a
// loopback collector. Every measurement runs in a child process of its own (the library keeps
// process-wide state) and is repeated; the table shows the median of the runs.
//
//   qm_bench [--runs N] [--micro]   --micro also runs the Google Benchmark micro benchmarks
//   qm_bench --accounting [--runs N]  where 20,000 records from 4 threads ended, and how long
//                                     QuillMarkDestroy took, per collector behaviour
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/host_capture.h"
#include "plume/quillmark.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/raw_server.h"
#include "support/record_queries.h"
#include "support/temp_dir.h"
#include "transport/httpSender.h"

using Clock = std::chrono::steady_clock;

namespace {

const char kMessage[] = "user tapped the checkout button; cart holds 3 items, total 42.17 EUR";

struct Latency {
    double p50Us = 0;
    double p99Us = 0;
    double maxUs = 0;
    double accepted = 0;
};

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

double percentile(std::vector<double> sorted, double fraction) {
    const size_t index = static_cast<size_t>(fraction * (sorted.size() - 1));
    return sorted[index];
}

// sendLog at about 20,000 calls a second (bursts of 100, 5 ms apart), timing every call.
Latency measureLatency(const qm_test::CollectorProcess& collector, const std::string& storage) {
    const int kCalls = 20000;
    std::vector<double> micros;
    micros.reserve(kCalls);
    const std::vector<std::string> messages = distinctMessages(kCalls);
    Latency result;
    if (initChannel(collector, storage) != 0) return result;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int i = 0; i < kCalls; ++i) {
        const auto start = Clock::now();
        const int32_t queued =
            QuillMarkSendLog(QUILLMARK_INFO, messages[i % messages.size()].c_str());
        const auto end = Clock::now();
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        result.accepted += queued;
        if (i % 100 == 99) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::sort(micros.begin(), micros.end());
    result.p50Us = percentile(micros, 0.50);
    result.p99Us = percentile(micros, 0.99);
    result.maxUs = micros.back();
    return result;
}

double cpuMicros(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

// CPU of every thread but the calling one: the library's own threads.
double libraryCpuMicros() { return cpuMicros(RUSAGE_SELF) - cpuMicros(RUSAGE_THREAD); }

// Records per second from the first sendLog until the collector holds them all, and the CPU
// the library's threads spent per delivered record meanwhile.
std::vector<double> measureThroughput(const qm_test::CollectorProcess& collector,
                                      const std::string& storage, int records) {
    if (initChannel(collector, storage) != 0) return {};
    if (!collector.waitForRecords(1, 10000)) return {};
    const std::vector<std::string> messages = distinctMessages(records);
    const double cpuBefore = libraryCpuMicros();
    const auto start = Clock::now();
    for (int i = 0; i < records; ++i) {
        while (QuillMarkSendLog(QUILLMARK_INFO, messages[i].c_str()) == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
    if (!collector.waitForRecordCount(static_cast<size_t>(records) + 1, 120000)) return {};
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return {records / seconds, (libraryCpuMicros() - cpuBefore) / records};
}

// Runs body in a child and returns the numbers it wrote, or an empty list.
std::vector<double> inChild(const std::function<std::vector<double>(const std::string&)>& body) {
    qm_test::TempDir dir("qm_bench");
    const std::string resultFile = dir.file("result.txt");
    const int status = qm_test::runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            std::ofstream out(resultFile);
            for (double value : body(dir.path())) out << value << "\n";
            out.close();
            return 0;
        },
        300000);
    std::vector<double> values;
    if (status != 0) return values;
    std::ifstream in(resultFile);
    for (double value; in >> value;) values.push_back(value);
    return values;
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void reportLatency(const char* name, const qm_test::CollectorOptions& options, int runs) {
    std::vector<double> p50, p99, max, accepted;
    for (int run = 0; run < runs; ++run) {
        qm_test::CollectorProcess collector(options);
        std::vector<double> values = inChild([&](const std::string& storage) {
            const Latency latency = measureLatency(collector, storage);
            return std::vector<double>{latency.p50Us, latency.p99Us, latency.maxUs,
                                       latency.accepted};
        });
        if (values.size() != 4) continue;
        p50.push_back(values[0]);
        p99.push_back(values[1]);
        max.push_back(values[2]);
        accepted.push_back(values[3]);
    }
    printf(
        "| sendLog latency, %-32s | p50 %6.2f us | p99 %6.2f us | max %8.1f us | "
        "queued %5.0f of 20000 |\n",
        name, median(p50), median(p99), median(max), median(accepted));
}

void reportThroughput(const char* name, const qm_test::CollectorOptions& options, int records,
                      int runs) {
    std::vector<double> rates, cpu;
    for (int run = 0; run < runs; ++run) {
        qm_test::CollectorProcess collector(options);
        std::vector<double> values = inChild([&](const std::string& storage) {
            return measureThroughput(collector, storage, records);
        });
        if (values.size() != 2) continue;
        rates.push_back(values[0]);
        cpu.push_back(values[1]);
    }
    printf(
        "| delivered records/s, %-27s | %8.0f records/s | library threads' CPU %5.1f us per "
        "record (%d records, median of %zu) |\n",
        name, median(rates), median(cpu), records, rates.size());
}

// One run: 4 threads send 5,000 records each, one every 0.5 ms, then QuillMarkDestroy. The
// result: returned 1, returned 0, accepted, stored, dropped (by the library's count), lost,
// both accepted and stored, milliseconds QuillMarkDestroy took.
std::vector<double> accountingRun(qm_test::CollectorProcess& collector, const std::string& storage,
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
        std::vector<double> first;
        std::vector<double> destroyMs;
        for (int run = 0; run < runs; ++run) {
            qm_test::CollectorOptions options;
            options.mode = row.mode;
            options.extraArgs = row.extraArgs;
            options.recordRequests = false;
            qm_test::CollectorProcess collector(options);
            const std::vector<double> values = inChild([&](const std::string& storage) {
                return accountingRun(collector, storage, row.unreachable, row.accepts,
                                     row.diesMidway);
            });
            if (values.size() != 8) continue;
            if (first.empty()) first = values;
            destroyMs.push_back(values[7]);
        }
        if (first.empty()) {
            printf("| %s | run failed |\n", row.description);
            continue;
        }
        printf("| %s | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f |\n", row.description,
               first[0], first[1], first[2], first[3], first[4], first[5], first[6],
               median(destroyMs));
    }
}

void BM_SerialiseRecord(benchmark::State& state) {
    MapValues record = {{"body", kMessage},
                        {"logLevel", "INFO"},
                        {"projectName", "Bench"},
                        {"SessionID", std::string(54, 's')},
                        {"sendTime", "1765000000000"}};
    std::string text;
    for (auto _ : state) {
        HttpSender::_getHttpBody(record, text);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_SerialiseRecord);

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    bool micro = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = atoi(argv[++i]);
        if (strcmp(argv[i], "--micro") == 0) micro = true;
    }
    qm_test::CollectorOptions healthy;
    healthy.recordRequests = false;
    qm_test::CollectorOptions stalled = healthy;
    stalled.mode = "stall";
    qm_test::CollectorOptions https = healthy;
    https.https = true;

    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--accounting") == 0) {
            reportAccounting(runs);
            return 0;
        }
    }
    reportLatency("healthy collector", healthy, runs);
    reportLatency("collector accepts, never answers", stalled, runs);
    reportThroughput("plain HTTP", healthy, 100000, runs);
    reportThroughput("HTTPS", https, 100000, runs);

    if (micro) {
        int benchArgc = 1;
        benchmark::Initialize(&benchArgc, argv);
        benchmark::RunSpecifiedBenchmarks();
    }
    return 0;
}
