#include "support/record_queries.h"

#include "support/stored_records.h"

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

}  // namespace qm_test
