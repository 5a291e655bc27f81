// Keeps what the collector received: one JSON line per record, one per request.
#pragma once

#include <json/json.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "options.h"
#include "record_scanner.h"

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

// The records of a log post, or nothing when the request is no log post or its body is neither
// a JSON array nor one object.
using ReceivedRecords = std::optional<std::vector<ScannedRecord>>;

inline Json::Value printableRecord(Json::Value record, bool quietDmp) {
    if (quietDmp && record.isObject() && record.isMember("DmpData") &&
        record["DmpData"].isString()) {
        const size_t size = record["DmpData"].asString().size();
        record["DmpData"] = "<" + std::to_string(size) + " bytes>";
    }
    return record;
}

inline Json::Value requestSummary(const ReceivedRequest& request, Json::UInt64 recordCount) {
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
          m_quietDmp(options.quietDmp),
          m_failBodies(options.failBodies) {}

    // Writes what arrived and returns the records of a log post.
    ReceivedRecords record(const ReceivedRequest& request) {
        ReceivedRecords records;
        if (isLogPost(request)) records = scanRecords(request.body, m_failBodies);
        std::string recordLines;
        if (records) {
            recordLines.reserve(request.body.size() + records->size());
            for (const ScannedRecord& record : *records) {
                appendRecordLine(request.body, record, recordLines);
            }
        }
        const std::string requestLine =
            m_requests ? compactJson(requestSummary(request, records ? records->size() : 0)) + "\n"
                       : "";

        const std::lock_guard<std::mutex> lock(m_mutex);
        writeAndFlush(m_out, recordLines);
        if (m_requests) writeAndFlush(m_requests.get(), requestLine);
        return records;
    }

private:
    // A compact record is printed as the client sent it: writing every record anew would make
    // the collector, not the client, the slowest part of a throughput run.
    void appendRecordLine(const std::string& body, const ScannedRecord& record,
                          std::string& lines) const {
        const char* text = body.data() + record.start;
        const size_t size = record.limit - record.start;
        // Raw line ends can only be white space between tokens (strings escape theirs).
        const bool oneLine =
            std::memchr(text, '\n', size) == nullptr && std::memchr(text, '\r', size) == nullptr;
        if (oneLine && !(m_quietDmp && record.hasDmpData)) {
            lines.append(text, size);
        } else {
            lines += compactJson(printableRecord(parsedRecord(text, size), m_quietDmp));
        }
        lines += '\n';
    }

    // The scan has already found the record to be well-formed JSON.
    static Json::Value parsedRecord(const char* text, size_t size) {
        Json::CharReaderBuilder builder;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value value;
        std::string errors;
        reader->parse(text, text + size, &value, &errors);
        return value;
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
    std::vector<std::string> m_failBodies;
};

}  // namespace collector
