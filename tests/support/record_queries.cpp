#include "support/record_queries.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "util/jsonText.h"

namespace qm_test {

std::vector<Json::Value> withField(const std::vector<Json::Value>& records, const std::string& key,
                                   const std::string& value) {
    std::vector<Json::Value> found;
    for (const Json::Value& record : records) {
        if (record.isMember(key) && record[key].asString() == value) found.push_back(record);
    }
    return found;
}

std::vector<Json::Value> withBody(const CollectorProcess& collector, const std::string& body) {
    return withField(collector.records(), "body", body);
}

bool waitForBody(const CollectorProcess& collector, const std::string& body, int timeoutMs) {
    return waitUntil([&] { return !withBody(collector, body).empty(); }, timeoutMs);
}

Json::Value onlyRecord(const std::vector<Json::Value>& records, const std::string& body) {
    const std::vector<Json::Value> found = withField(records, "body", body);
    EXPECT_EQ(1u, found.size()) << "records with body '" << body << "'";
    return found.empty() ? Json::Value() : found[0];
}

Json::Value onlyRecord(const CollectorProcess& collector, const std::string& body) {
    return onlyRecord(collector.records(), body);
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string decodeBase64(const std::string& text) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t buffer = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') break;
        const size_t value = kAlphabet.find(c);
        if (value == std::string::npos) return std::string();
        buffer = (buffer << 6) | static_cast<uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return out;
}

std::vector<std::string> bodiesOf(const std::vector<Json::Value>& records) {
    std::vector<std::string> bodies;
    for (const Json::Value& record : records) bodies.push_back(record["body"].asString());
    return bodies;
}

std::vector<std::string> bodiesOf(const Json::Value& batch) {
    std::vector<std::string> bodies;
    for (const Json::Value& record : batch) bodies.push_back(record["body"].asString());
    return bodies;
}

std::vector<std::string> bodiesOf(const std::vector<StoredRecord>& stored) {
    std::vector<std::string> bodies;
    for (const StoredRecord& item : stored) bodies.push_back(item.record["body"].asString());
    return bodies;
}

Accounting account(const std::vector<std::string>& sent, const std::vector<std::string>& accepted,
                   const std::vector<std::string>& stored,
                   const std::vector<std::string>& logLines) {
    std::map<std::string, int> acceptedCount;
    std::map<std::string, int> storedCount;
    for (const std::string& body : accepted) ++acceptedCount[body];
    for (const std::string& body : stored) ++storedCount[body];
    Accounting result;
    result.sent = sent.size();
    for (const std::string& body : sent) {
        const int taken = acceptedCount[body] > 0 ? 1 : 0;
        const int kept = storedCount[body];
        result.accepted += taken;
        result.stored += kept > 0 ? 1 : 0;
        if (taken + kept == 0) result.lost.push_back(body);
        if (taken + kept > 1) result.twice.push_back(body);
    }
    // "... dropped N ..." (a cap) and "N records were not kept" (a store that failed).
    static const std::regex kDropped(R"((?:dropped (\d+) )|(?:(\d+) records were not kept))");
    for (const std::string& line : logLines) {
        std::smatch match;
        if (!std::regex_search(line, match, kDropped)) continue;
        result.dropped += std::stoul(match[1].matched ? match[1].str() : match[2].str());
    }
    return result;
}

void expectEveryRecordAccountedFor(const Accounting& accounting, bool exactlyOnce) {
    EXPECT_LE(accounting.lost.size(), accounting.dropped)
        << accounting.lost.size() << " of " << accounting.sent << " records lost, e.g. "
        << (accounting.lost.empty() ? "" : accounting.lost.front());
    if (exactlyOnce) {
        EXPECT_TRUE(accounting.twice.empty())
            << accounting.twice.size() << " records both delivered and stored, e.g. "
            << (accounting.twice.empty() ? "" : accounting.twice.front());
    }
}

std::vector<std::string> storedBodies(const std::string& projectDirectory) {
    std::vector<std::string> bodies;
    // In the order they are sent: what earlier starts stored, the store, what spilled beyond the
    // queue.
    for (const char* name : {"/log.resend", "/log.txt", "/log.overflow"}) {
        // Only regular files: a test may have put a device or a directory in their place.
        if (!std::filesystem::is_regular_file(projectDirectory + name)) continue;
        std::ifstream in(projectDirectory + name, std::ios::binary);
        // A re-send in progress: the lines before its position were answered for.
        unsigned long long answered = 0;
        if (std::string(name) != "/log.txt") {
            std::ifstream(projectDirectory + name + ".pos") >> answered;
        }
        in.seekg(static_cast<std::streamoff>(answered));
        std::string line;
        while (std::getline(in, line)) {
            Json::Value record;
            if (jsonText::parse(line, record) && record.isObject()) {
                bodies.push_back(record["body"].asString());
            }
        }
    }
    return bodies;
}

const std::vector<CollectorBehaviour>& collectorBehaviours() {
    static const std::vector<CollectorBehaviour> behaviours = {
        {"Healthy", "healthy", "ok", {}, true},
        {"Down", "down (nothing listens)", "ok", {}, false, true},
        {"Stalls", "stalls (never answers)", "stall", {}},
        {"Trickles", "trickles (a byte a second)", "trickle", {}},
        {"ResetsMidAnswer", "resets without answer", "reset", {}},
        {"CutAnswer", "answer cut mid-list", "truncated", {}, true, false, false, true},
        {"Html200", "HTML page, 200", "html", {}},
        {"Status404", "404", "ok", {"--status", "404"}},
        {"Status413", "413", "ok", {"--status", "413"}},
        {"JsonWithoutResultList", "JSON without resultList", "no-result", {}},
        {"AnswersThenDies", "answers, then dies", "ok", {}, true, false, true, true},
    };
    return behaviours;
}

}  // namespace qm_test
