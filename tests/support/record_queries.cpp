#include "support/record_queries.h"

#include <gtest/gtest.h>

#include <chrono>

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

Json::Value onlyRecord(const CollectorProcess& collector, const std::string& body) {
    const std::vector<Json::Value> found = withBody(collector, body);
    EXPECT_EQ(1u, found.size()) << "records with body '" << body << "'";
    return found.empty() ? Json::Value() : found[0];
}

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
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

}  // namespace qm_test
