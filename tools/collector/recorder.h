// Keeps what the collector received: one JSON line per record, one per request.
#pragma once

#include <json/json.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "options.h"

namespace collector {

struct ReceivedRequest {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

inline FilePtr openForAppend(const std::string& path) {
    FilePtr file(std::fopen(path.c_str(), "a"));
    if (!file) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    return file;
}

inline std::string compactJson(const Json::Value& value) {
    // Building a writer costs more than writing a record: keep one per thread.
    thread_local const std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        // Keeps the bytes the client sent, so a reader sees exactly what arrived.
        builder["emitUTF8"] = true;
        return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
    }();
    std::ostringstream text;
    writer->write(value, &text);
    return text.str();
}

inline bool isLogPost(const ReceivedRequest& request) {
    return request.method == "POST" && request.path == "/v2/log";
}

// The records of a log post; null when the body is neither a JSON array nor one object (a
// network-insight result is posted as a single object: it counts as one record).
inline Json::Value parseRecords(const std::string& body) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(body.data(), body.data() + body.size(), &root, &errors)) {
        return Json::Value();
    }
    if (root.isObject()) {
        Json::Value records(Json::arrayValue);
        records.append(root);
        return records;
    }
    return root.isArray() ? root : Json::Value();
}

inline Json::Value printableRecord(Json::Value record, bool quietDmp) {
    if (quietDmp && record.isObject() && record.isMember("DmpData") &&
        record["DmpData"].isString()) {
        const size_t size = record["DmpData"].asString().size();
        record["DmpData"] = "<" + std::to_string(size) + " bytes>";
    }
    return record;
}

inline Json::Value requestSummary(const ReceivedRequest& request, Json::ArrayIndex recordCount) {
    Json::Value summary(Json::objectValue);
    summary["path"] = request.path;
    summary["method"] = request.method;
    Json::Value headers(Json::objectValue);
    for (const auto& header : request.headers) {
        const bool repeated = headers.isMember(header.first);
        headers[header.first] =
            repeated ? headers[header.first].asString() + ", " + header.second : header.second;
    }
    summary["headers"] = headers;
    summary["body"] = request.body;
    summary["records"] = recordCount;
    return summary;
}

class Recorder {
public:
    explicit Recorder(const Options& options)
        : m_outFile(options.outFile.empty() ? nullptr : openForAppend(options.outFile)),
          m_out(m_outFile ? m_outFile.get() : stdout),
          m_requests(options.requestsFile.empty() ? nullptr : openForAppend(options.requestsFile)),
          m_quietDmp(options.quietDmp) {}

    // Writes what arrived and returns the records of a log post; null when the request carried
    // no JSON array of records.
    Json::Value record(const ReceivedRequest& request) {
        const Json::Value records = isLogPost(request) ? parseRecords(request.body) : Json::Value();
        std::string recordLines;
        for (const Json::Value& record : records) {
            recordLines += recordText(request.body, record) + "\n";
        }
        const std::string requestLine =
            m_requests ? compactJson(requestSummary(request, records.size())) + "\n" : "";

        const std::lock_guard<std::mutex> lock(m_mutex);
        writeAndFlush(m_out, recordLines);
        if (m_requests) writeAndFlush(m_requests.get(), requestLine);
        return records;
    }

private:
    // A compact object as the client sent it is printed as it stands: writing every record
    // anew would make the collector, not the client, the slowest part of a throughput run.
    std::string recordText(const std::string& body, const Json::Value& record) const {
        const auto start = static_cast<size_t>(record.getOffsetStart());
        const auto limit = static_cast<size_t>(record.getOffsetLimit());
        // Raw line ends can only be white space between tokens (strings escape theirs).
        const bool oneLine =
            limit > start && limit <= body.size() && body.find_first_of("\r\n", start) >= limit;
        if (oneLine && !(m_quietDmp && record.isObject() && record.isMember("DmpData"))) {
            return body.substr(start, limit - start);
        }
        return compactJson(printableRecord(record, m_quietDmp));
    }

    static void writeAndFlush(std::FILE* file, const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), file);
        std::fflush(file);
    }

    std::mutex m_mutex;
    FilePtr m_outFile;
    std::FILE* m_out;
    FilePtr m_requests;
    bool m_quietDmp;
};

}  // namespace collector
