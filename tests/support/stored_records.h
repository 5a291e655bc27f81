// Lets a test see which records the library hands to local storage, across a fork: the child
// appends each one to a file, the parent reads the file.
#pragma once

#include <json/json.h>

#include <functional>
#include <string>
#include <vector>

namespace qm_test {

struct StoredRecord {
    std::string channel;
    Json::Value record;
};

// Call in the child after GetPlumeLog() and before the first initialise.
void observeStorage(const std::string& file);
std::vector<StoredRecord> readStored(const std::string& file);

// Polls `done` every 10 ms until it is true or `timeoutMs` passed; returns its last answer.
bool waitUntil(const std::function<bool()>& done, int timeoutMs);

}  // namespace qm_test
