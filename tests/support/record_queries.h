// Questions tests ask of what a collector received.
#pragma once

#include <json/json.h>

#include <string>
#include <vector>

#include "support/collector_process.h"

namespace qm_test {

// The records whose member `key` is the text `value`.
std::vector<Json::Value> withField(const std::vector<Json::Value>& records, const std::string& key,
                                   const std::string& value);
std::vector<Json::Value> withBody(const CollectorProcess& collector, const std::string& body);
// True once a record with that body arrived; false when timeoutMs passed first.
bool waitForBody(const CollectorProcess& collector, const std::string& body, int timeoutMs);

}  // namespace qm_test
