#include "support/test_project.h"

#include "plume/quillmark.h"

namespace qm_test {

int32_t TestProject::initMain(const CollectorProcess& collector, const TempDir& storage,
                              bool clientHost, bool asyncStart, const char* key) const {
    return QuillMarkInitialize(key ? key : m_key, storage.path().c_str(), m_version,
                               collector.address().c_str(), collector.port(), m_source, m_type,
                               clientHost, asyncStart, "quillmark-user");
}

int32_t TestProject::initChannel(const CollectorProcess& collector, const TempDir& storage,
                                 const char* channel, const char* key, bool asyncStart) const {
    return GetPlumeLog()->initialize(key ? key : m_key, storage.path().c_str(), m_version,
                                     collector.address().c_str(), collector.port(), m_source,
                                     m_type, true, asyncStart, channel);
}

}  // namespace qm_test
