// Measures what the library costs the application thread and how fast records reach a
// loopback collector. Every measurement runs in a child process of its own (the library keeps
// process-wide state) and is repeated; the table shows the median of the runs.
//
//   qm_bench [--runs N] [--micro]   --micro also runs the Google Benchmark micro benchmarks
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/host_capture.h"
#include "plume/quillmark.h"
#include "support/child_process.h"
#include "support/collector_process.h"
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

// Records per second from the first sendLog until the collector holds them all.
double measureThroughput(const qm_test::CollectorProcess& collector, const std::string& storage,
                         int records) {
    if (initChannel(collector, storage) != 0) return 0;
    if (!collector.waitForRecords(1, 10000)) return 0;
    const std::vector<std::string> messages = distinctMessages(records);
    const auto start = Clock::now();
    for (int i = 0; i < records; ++i) {
        while (QuillMarkSendLog(QUILLMARK_INFO, messages[i].c_str()) == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
    if (!collector.waitForRecordCount(static_cast<size_t>(records) + 1, 120000)) return 0;
    return records / std::chrono::duration<double>(Clock::now() - start).count();
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
    std::vector<double> rates;
    for (int run = 0; run < runs; ++run) {
        qm_test::CollectorProcess collector(options);
        std::vector<double> values = inChild([&](const std::string& storage) {
            return std::vector<double>{measureThroughput(collector, storage, records)};
        });
        if (values.size() == 1) rates.push_back(values[0]);
    }
    printf("| delivered records/s, %-27s | %8.0f records/s (%d records, median of %zu) |\n", name,
           median(rates), records, rates.size());
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
