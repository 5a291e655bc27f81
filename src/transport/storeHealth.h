// Whether the record store can be written. A store that cannot be written is logged once per
// condition (what failed and why), not once per record; when a write succeeds again, one line
// says how many records were not kept.
#pragma once

#include <cstddef>
#include <mutex>
#include <set>
#include <string>

class StoreHealth {
public:
    // records were not kept because of condition.
    void notKept(const std::string& condition, size_t records);
    // A write succeeded.
    void writable();
    // One log line with the records not kept since the last such line, if any.
    void reportLosses();
    // The lock file at path cannot be had (error: its errno) and the store works unguarded;
    // said once per path.
    void unguarded(const std::string& path, int error);

private:
    std::mutex m_mutex;
    std::set<std::string> m_conditions;
    std::set<std::string> m_unguarded;
    size_t m_recordsNotKept = 0;
};
