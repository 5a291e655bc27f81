#include "transport/repeatFilter.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "record/vesk2Define.h"

namespace {

constexpr size_t kMaxRememberedKeys = 10;

// Body, level and type, a missing field read as empty. Record texts hold no NUL: with it
// between the parts no two different records, also of differently named channels, can make the
// same key.
std::string _keyOf(const QueuedRecord& record, const std::string& handlerID) {
    std::string key;
    for (const std::string* field : {&VESK_FIX_LOGBODY, &VESK_KEY_LOGLEVEL, &VESK_FIX_LOGTYPE}) {
        if (const std::string* value = record.find(*field)) key += *value;
        key += '\0';
    }
    return key + handlerID;
}

// Keeps the more repeated half; among equal counts the smaller keys go first.
void _forgetLeastRepeated(std::map<std::string, int>& table) {
    std::vector<std::pair<std::string, int>> entries(table.begin(), table.end());
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.second < b.second; });
    const size_t forgotten = entries.size() / 2;
    for (size_t i = 0; i < forgotten; ++i) table.erase(entries[i].first);
}

}  // namespace

bool RepeatFilter::isRepeat(const QueuedRecord& record, const std::string& channelName) {
    const std::string key = _keyOf(record, channelName);
    auto known = m_seen.find(key);
    if (known != m_seen.end()) {
        ++known->second;
        return true;
    }
    if (m_seen.size() >= kMaxRememberedKeys) _forgetLeastRepeated(m_seen);
    m_seen.emplace(key, 0);
    return false;
}
