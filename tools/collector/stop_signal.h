// Lets sleeping connection threads notice at once that the collector is shutting down.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace collector {

class StopSignal {
public:
    void trigger() {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stopped = true;
        }
        m_changed.notify_all();
    }

    bool stopped() const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_stopped;
    }

    // Returns false when the sleep was cut short by trigger().
    bool sleepFor(int milliseconds) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return !m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                   [this] { return m_stopped; });
    }

    void waitUntilStopped() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_stopped; });
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopped = false;
};

}  // namespace collector
