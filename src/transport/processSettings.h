// Settings of the whole library that its owner (and tests) set and the sending thread and the
// crash report read, each on its own schedule.
#pragma once

#include <atomic>

#ifndef QUILLMARK_BATCH_WINDOW_MS
#define QUILLMARK_BATCH_WINDOW_MS 1000
#endif
#include <mutex>

#include "transport/remoteSettings.h"

class ProcessSettings {
public:
    // Sending held back until the application starts it (delayed start).
    std::atomic<bool> holdRecords{false};
    // Whether HTTPS checks the collector's certificate and host name (build option
    // QUILLMARK_TLS_VERIFY; off accepts a self-signed collector).
    std::atomic<bool> verifyTls{QUILLMARK_TLS_VERIFY != 0};
    // How long the sending thread gathers records before a request (build option
    // QUILLMARK_BATCH_WINDOW_MS; 0 sends what is queued at once). A full batch goes at once.
    std::atomic<int> batchWindowMs{QUILLMARK_BATCH_WINDOW_MS};

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
