// What the sending thread sends from the device besides its passes: the stores that await a
// re-send in this run and the overflow files, each to the collector of its directory's channel,
// and the pause after an exchange no collector answered, so that a stalled or unreachable
// collector is not asked again and again: kFirstRetry, then twice as long after each further
// one up to kMaxRetry; one answered resets it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "transport/backlog.h"
#include "transport/channelRegistry.h"
#include "transport/recordStore.h"
#include "transport/transport.h"

class DeviceSending {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kFirstRetry{500};
    static constexpr std::chrono::milliseconds kMaxRetry{8000};

    DeviceSending(const ChannelRegistry& registry, RecordStore& store, Backlog& backlog)
        : m_registry(registry), m_store(store), m_backlog(backlog) {}

    // When the next attempt may go; from any thread.
    Clock::time_point retryAt() const {
        return Clock::time_point(std::chrono::nanoseconds(m_retryAt.load()));
    }
    bool retryDue() const { return Clock::now() >= retryAt(); }
    // An exchange was answered (the pause ends) or not (it grows); sending thread only.
    void noteAttempt(bool answered);

    // Sends the stores that await their re-send, through transport.
    void resendAwaiting(CollectorTransport& transport);
    // Sends the overflow files, through transport; what the collector refused goes to the store.
    Backlog::Sent sendFiles(CollectorTransport& transport);

private:
    // The channel registered last for the directory decides, as for a pass.
    bool channelOf(const std::string& directory, Handler& channel) const;

    const ChannelRegistry& m_registry;
    RecordStore& m_store;
    Backlog& m_backlog;
    // Steady-clock nanoseconds; 0: at once.
    std::atomic<int64_t> m_retryAt{0};
    std::chrono::milliseconds m_retryDelay = kFirstRetry;
};
