// A test project's channels, registered against a loopback collector the way an application
// registers them, so that a scenario only spells out what it does afterwards.
#pragma once

#include <cstdint>

#include "support/collector_process.h"
#include "support/temp_dir.h"

namespace qm_test {

class TestProject {
public:
    // Null source and type take the library's defaults.
    TestProject(const char* key, const char* version, const char* source, const char* type)
        : m_key(key), m_version(version), m_source(source), m_type(type) {}

    // The C entry point, for the main channel "quillmark-user"; `key` replaces the project's.
    int32_t initMain(const CollectorProcess& collector, const TempDir& storage,
                     bool clientHost = true, bool asyncStart = false,
                     const char* key = nullptr) const;
    // The interface's initialise, for any channel.
    int32_t initChannel(const CollectorProcess& collector, const TempDir& storage,
                        const char* channel, const char* key = nullptr,
                        bool asyncStart = false) const;

private:
    const char* m_key;
    const char* m_version;
    const char* m_source;
    const char* m_type;
};

}  // namespace qm_test
