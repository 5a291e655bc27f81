#include "transport/storeHealth.h"

#include "util/boundedFile.h"
#include "util/utilLog.h"

void StoreHealth::notKept(const std::string& condition, size_t records) {
    std::lock_guard lock(m_mutex);
    m_recordsNotKept += records;
    if (!m_conditions.insert(condition).second) return;
    _error_log("[store] records not kept: " + condition);
}

void StoreHealth::writable() {
    std::lock_guard lock(m_mutex);
    if (m_conditions.empty()) return;
    _error_log("[store] writable again; " + std::to_string(m_recordsNotKept) +
               " records were not kept");
    m_conditions.clear();
    m_recordsNotKept = 0;
}

void StoreHealth::reportLosses() {
    std::lock_guard lock(m_mutex);
    if (m_recordsNotKept == 0) return;
    _error_log("[store] " + std::to_string(m_recordsNotKept) + " records were not kept");
    m_recordsNotKept = 0;
}

void StoreHealth::unguarded(const std::string& path, int error) {
    std::lock_guard lock(m_mutex);
    if (!m_unguarded.insert(path).second) return;
    _warn_log("[store] working without the lock " + path + ": " + boundedFile::errorText(error));
}
