// Suppression of repeated records: a channel sends a message once while the message is
// remembered. The memory is small; when full, the least repeated half is forgotten.
#include <json/value.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "transport/httpSender.h"
#include "util/jsonText.h"
#include "util/utilLog.h"

namespace {

constexpr size_t kMaxRememberedKeys = 10;

// Body, level and type as text; a missing member counts as empty. False when one is present
// but is not text.
bool _keyParts(const Json::Value& record, std::string& key) {
    for (const char* member : {"body", "logLevel", "logType"}) {
        const Json::Value& value = record[member];
        if (value.isNull()) {
            key += '\0';
            continue;
        }
        if (!value.isString()) return false;
        key += value.asString();
        // Record texts hold no NUL: with it between the parts no two different records, also
        // of differently named channels, can make the same key.
        key += '\0';
    }
    return true;
}

// Keeps the more repeated half; among equal counts the smaller keys go first.
void _forgetLeastRepeated(depulicationQ& table) {
    std::vector<std::pair<std::string, int>> entries(table.begin(), table.end());
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.second < b.second; });
    const size_t forgotten = entries.size() / 2;
    for (size_t i = 0; i < forgotten; ++i) table.erase(entries[i].first);
}

}  // namespace

bool HttpSender::check_duplicate(const std::string& message, const std::string& handlerID) {
    Json::Value record;
    jsonText::parse(message, record);
    if (!record.isObject()) {
        _warn_log("root object  null!");
        return true;
    }
    std::string key;
    if (!_keyParts(record, key)) {
        _warn_log("[check_duplicate] get key failed");
        return true;
    }
    key += handlerID;

    auto known = m_depuliQ.find(key);
    if (known != m_depuliQ.end()) {
        ++known->second;
        return true;
    }
    if (m_depuliQ.size() >= kMaxRememberedKeys) _forgetLeastRepeated(m_depuliQ);
    m_depuliQ.emplace(key, 0);
    return false;
}
