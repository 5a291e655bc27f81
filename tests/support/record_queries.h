// Questions tests ask of what a collector received.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/collector_process.h"
#include "support/stored_records.h"

namespace qm_test {

// The records whose member `key` is the text `value`.
std::vector<Json::Value> withField(const std::vector<Json::Value>& records, const std::string& key,
                                   const std::string& value);
std::vector<Json::Value> withBody(const CollectorProcess& collector, const std::string& body);
// True once a record with that body arrived; false when timeoutMs passed first.
bool waitForBody(const CollectorProcess& collector, const std::string& body, int timeoutMs);
// The one record with that body. Anything but exactly one is a test failure, and then the
// result is the first of them or, with none, a null value whose members all read as empty.
Json::Value onlyRecord(const CollectorProcess& collector, const std::string& body);

// The wall clock in milliseconds since the epoch, the unit records give their times in.
int64_t nowMs();

// The "body" of each record, in order: of records received, of one request's array, of records
// handed to local storage.
std::vector<std::string> bodiesOf(const std::vector<Json::Value>& records);
std::vector<std::string> bodiesOf(const Json::Value& batch);
std::vector<std::string> bodiesOf(const std::vector<StoredRecord>& stored);

}  // namespace qm_test
