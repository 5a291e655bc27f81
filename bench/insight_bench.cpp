// Compares the "Latency" the measuring thread reports with what curl's own timer says for the
// same loopback URL, and prints the ratio of the means. A collector that answers after a set
// delay is the measured server; the library runs in a child process, whose settings service
// names that URL a number of times (each with its own path).
//
//   qm_insight_bench [--fetches N] [--delay-ms D]     (defaults 100 and 20)
#include <json/value.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/libraryState.h"
#include "insight/vesk2Performance.h"
#include "plume/quillmark.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/record_queries.h"
#include "support/stored_records.h"
#include "support/temp_dir.h"
#include "transport/httpSender.h"
#include "util/jsonText.h"

namespace {

const char kInsightType[] = "\xEF\xBB\xBFNETWORKINSIGHTS";

std::string urlOf(const qm_test::CollectorProcess& server, int index) {
    return server.address() + ":" + std::to_string(server.port()) + "/probe/" +
           std::to_string(index);
}

std::string settingsAnswer(const qm_test::CollectorProcess& target, int fetches) {
    Json::Value answer;
    answer["status"] = 200;
    for (const char* section : {"log", "crash", "session", "networkinsights"})
        answer["result"][section]["enable"] = true;
    Json::Value& urls = answer["result"]["networkinsights"]["urls"];
    urls = Json::Value(Json::arrayValue);
    for (int i = 0; i < fetches; ++i) urls.append(urlOf(target, i));
    return jsonText::writeCompact(answer);
}

// Mean of the whole milliseconds the library reported; negative when the run failed.
double libraryMeanMs(const qm_test::CollectorProcess& target, int fetches) {
    qm_test::TempDir dir;
    const std::string answerFile = dir.file("answer.json");
    std::ofstream(answerFile) << settingsAnswer(target, fetches);
    qm_test::CollectorOptions serviceOptions;
    serviceOptions.extraArgs = {"--settings-file", answerFile};
    qm_test::CollectorProcess service(serviceOptions);
    qm_test::CollectorProcess collector;
    const int result = qm_test::runInChild(
        [&] {
            LibraryState::process().settings.setSettingsEndpoints(
                {service.address(), service.port(), "", service.address(), service.port()});
            if (QuillMarkInitialize("InsightBench", dir.path().c_str(), "1.0.0",
                                    collector.address().c_str(), collector.port(), nullptr, nullptr,
                                    false, false, "quillmark-user") != 0)
                return 2;
            const auto arrived = [&] {
                return qm_test::withField(collector.records(), "logType", kInsightType).size() >=
                       static_cast<size_t>(fetches);
            };
            return qm_test::waitUntil(arrived, 60000 + fetches * 1000) ? 0 : 3;
        },
        120000 + fetches * 1000);
    if (result != 0) return -1;
    double sum = 0;
    const auto records = qm_test::withField(collector.records(), "logType", kInsightType);
    for (const Json::Value& record : records) sum += std::stod(record["Latency"].asString());
    return sum / static_cast<double>(records.size());
}

// Mean of curl's total time, in milliseconds (not cut to whole ones); negative on failure.
double curlMeanMs(const qm_test::CollectorProcess& target, int fetches) {
    double sum = 0;
    for (int i = 0; i < fetches; ++i) {
        const std::string command =
            "curl -s -o /dev/null -w '%{time_total}' '" + urlOf(target, i) + "'";
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), &pclose);
        double seconds = 0;
        if (!pipe || fscanf(pipe.get(), "%lf", &seconds) != 1) return -1;
        sum += seconds * 1000.0;
    }
    return sum / fetches;
}

}  // namespace

int main(int argc, char** argv) {
    int fetches = 100;
    int delayMs = 20;
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], "--fetches") == 0) fetches = atoi(argv[++i]);
        if (strcmp(argv[i], "--delay-ms") == 0) delayMs = atoi(argv[++i]);
    }
    if (fetches < 1 || fetches > vesk2Performance::kMaxQueuedJobs || delayMs < 0) {
        fprintf(stderr, "--fetches 1..%d, --delay-ms 0 or more\n",
                vesk2Performance::kMaxQueuedJobs);
        return 2;
    }
    qm_test::CollectorOptions targetOptions;
    targetOptions.recordRequests = false;
    targetOptions.extraArgs = {"--delay-ms", std::to_string(delayMs)};
    qm_test::CollectorProcess target(targetOptions);

    const double library = libraryMeanMs(target, fetches);
    const double curl = curlMeanMs(target, fetches);
    if (library < 0 || curl < 0) {
        fprintf(stderr, "a run failed (library %.2f, curl %.2f)\n", library, curl);
        return 1;
    }
    printf(
        "| %d fetches, answer delay %d ms | library \"Latency\" mean %.2f ms (whole ms) | "
        "curl time_total mean %.2f ms | ratio %.3f |\n",
        fetches, delayMs, library, curl, library / curl);
    return 0;
}
