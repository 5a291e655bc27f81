// Settings of the whole library that its owner (and tests) set and the sending thread and the
// crash report read, each on its own schedule.
#pragma once

#include <atomic>
#include <mutex>

#include "transport/remoteSettings.h"

class ProcessSettings {
public:
    // Sending held back until the application starts it (delayed start).
    std::atomic<bool> holdRecords{false};
    // Whether HTTPS checks the collector's certificate and host name (build option
    // QUILLMARK_TLS_VERIFY; off accepts a self-signed collector).
    std::atomic<bool> verifyTls{QUILLMARK_TLS_VERIFY != 0};

    RemoteSettings::Endpoints settingsEndpoints() const {
        std::lock_guard lock(m_mutex);
        return m_endpoints;
    }
    void setSettingsEndpoints(const RemoteSettings::Endpoints& endpoints) {
        std::lock_guard lock(m_mutex);
        m_endpoints = endpoints;
    }

private:
    mutable std::mutex m_mutex;
    RemoteSettings::Endpoints m_endpoints = RemoteSettings::builtInEndpoints();
};
