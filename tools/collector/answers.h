// The bodies the collector answers with, one shape per mode.
#pragma once

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "options.h"
#include "recorder.h"

namespace collector {

struct Answer {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
};

inline const char* statusReason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 408:
            return "Request Timeout";
        case 429:
            return "Too Many Requests";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            return "Status";
    }
}

// One verdict per received record, in the order of the request.
inline std::vector<bool> decideOutcomes(const std::vector<ScannedRecord>& records,
                                        const Options& options) {
    std::vector<bool> accepted;
    accepted.reserve(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        accepted.push_back(options.failIndexes.count(i) == 0 && !records[i].bodyHasFailText);
    }
    return accepted;
}

inline std::vector<std::string> resultEntries(const std::vector<bool>& accepted) {
    std::vector<std::string> entries;
    for (bool ok : accepted) {
        entries.push_back(ok ? R"({"isSuccessful":true})" : R"({"isSuccessful":false})");
    }
    return entries;
}

inline std::string joined(const std::vector<std::string>& parts, const std::string& separator) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) text += separator;
        text += parts[i];
    }
    return text;
}

// Clients find the answer by the text {"header", so "header" must stay the first member.
inline std::string envelopeStart(const std::string& headerExtra = "") {
    return R"({"header":{"resultCode":200)" + headerExtra + R"(},"body":{"data":{"resultList":[)";
}

inline std::string envelope(const std::string& resultList, const std::string& headerExtra = "") {
    return envelopeStart(headerExtra) + resultList + "]}}}";
}

inline std::string errorBody(int status) {
    return R"({"header":{"resultCode":)" + std::to_string(status) + R"(,"message":")" +
           statusReason(status) + "\"}}";
}

inline std::string randomBytes(size_t count) {
    std::random_device seed;
    std::mt19937 generator(seed());
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(count, '\0');
    for (char& c : bytes) c = static_cast<char>(byte(generator));
    return bytes;
}

// Keeps the first half of the entries whole and cuts the next one in the middle.
inline std::string truncatedBody(const std::vector<std::string>& entries) {
    const std::vector<std::string> whole(entries.begin(),
                                         entries.begin() + (entries.size() + 1) / 2);
    const std::string cut = whole.empty() ? R"({"isSucc)" : R"(,{"isSucc)";
    return envelopeStart() + joined(whole, ",") + cut;
}

inline std::string multilineBody(const std::vector<std::string>& entries) {
    return "{\"header\":{\"resultCode\":200},\n"
           "  \"body\":{\n"
           "    \"data\":{\n"
           "      \"resultList\":[\n        " +
           joined(entries, ",\n        ") +
           "\n"
           "      ]\n"
           "    }\n"
           "  }\n"
           "}\n";
}

inline std::string htmlPage() {
    return "<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>\n"
           "<body><h1>Bad Gateway</h1><p>The upstream server did not answer.</p></body>\n"
           "</html>\n";
}

inline Answer badRequestAnswer() { return Answer{400, "application/json", errorBody(400)}; }

inline std::string bodyForMode(const Options& options, const std::vector<bool>& accepted) {
    const std::vector<std::string> entries = resultEntries(accepted);
    switch (options.mode) {
        case Mode::Truncated:
            return truncatedBody(entries);
        case Mode::Big: {
            const std::string padding(100 * 1024 + 1, 'x');
            return envelope(joined(entries, ","), R"(,"padding":")" + padding + "\"");
        }
        case Mode::LongResult: {
            std::vector<std::string> doubled = entries;
            doubled.insert(doubled.end(), entries.size(), R"({"isSuccessful":false})");
            return envelope(joined(doubled, ","));
        }
        case Mode::WrongType: {
            const std::vector<std::string> strings(entries.size(), R"({"isSuccessful":"yes"})");
            return envelope(joined(strings, ","));
        }
        case Mode::NoResult:
            return R"({"header":{"resultCode":500}})";
        case Mode::Multiline:
            return multilineBody(entries);
        default:
            return options.status == 200 ? envelope(joined(entries, ","))
                                         : errorBody(options.status);
    }
}

// The answer to a request whose records were `accepted` as given; not used by the modes that
// never answer (stall, close, reset).
inline Answer buildAnswer(const Options& options, const std::vector<bool>& accepted) {
    if (options.mode == Mode::Garbage) {
        return Answer{options.status, "application/octet-stream", randomBytes(300)};
    }
    if (options.mode == Mode::Html) return Answer{options.status, "text/html", htmlPage()};
    return Answer{options.status, "application/json", bodyForMode(options, accepted)};
}

inline bool isSettingsGet(const Options& options, const ReceivedRequest& request) {
    static const std::string kSuffix = "/logsconf";
    const std::string& path = request.path;
    return !options.settingsFile.empty() && request.method == "GET" &&
           path.size() >= kSuffix.size() &&
           path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

// The file is read for every request, so a test can change the answer between requests.
inline Answer settingsAnswer(const Options& options) {
    std::ifstream in(options.settingsFile, std::ios::binary);
    if (!in) return Answer{404, "application/json", errorBody(404)};
    std::ostringstream content;
    content << in.rdbuf();
    return Answer{200, "application/json", content.str()};
}

// What a request gets when the collector answers at all; `records` is what the recorder
// returned for it.
inline Answer answerFor(const Options& options, const ReceivedRequest& request,
                        const ReceivedRecords& records) {
    if (isSettingsGet(options, request)) return settingsAnswer(options);
    if (!isLogPost(request)) return Answer{404, "application/json", errorBody(404)};
    if (!records) return badRequestAnswer();
    return buildAnswer(options, decideOutcomes(*records, options));
}

}  // namespace collector
