// The end of one exchange with a collector: its own total bound, and a process-wide cut-off
// that a shutdown can pull in so that an exchange in progress ends by then whatever the
// collector does. Monotonic clock only: setting the wall clock must not stretch a wait.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>

class ExchangeDeadline {
public:
    using Clock = std::chrono::steady_clock;

    // abandon, when given, ends the exchange as soon as it is set (its owner is shutting
    // down); it must outlive the deadline.
    explicit ExchangeDeadline(std::chrono::milliseconds total,
                              const std::atomic<bool>* abandon = nullptr)
        : m_own(Clock::now() + total), m_abandon(abandon) {}

    // The earlier of the exchange's own end and the process-wide cut-off.
    Clock::time_point end() const {
        const Clock::rep cutOff = s_cutOff.load(std::memory_order_acquire);
        return std::min(m_own, Clock::time_point(Clock::duration(cutOff)));
    }
    bool passed() const {
        return (m_abandon != nullptr && m_abandon->load()) || Clock::now() >= end();
    }
    // What is left, never negative; waits should take slices of at most kSlice so that a
    // cut-off pulled in while they wait is seen promptly.
    std::chrono::milliseconds remaining() const {
        if (m_abandon != nullptr && m_abandon->load()) return std::chrono::milliseconds(0);
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end() - Clock::now());
        return std::max(left, std::chrono::milliseconds(0));
    }
    static constexpr std::chrono::milliseconds kSlice{100};

    // Every exchange, running or still to come, ends at the latest at `when`.
    static void cutOffAt(Clock::time_point when) {
        s_cutOff.store(when.time_since_epoch().count(), std::memory_order_release);
    }
    // Lifts the cut-off (a new initialise after a shutdown).
    static void clearCutOff() {
        s_cutOff.store(Clock::duration::max().count(), std::memory_order_release);
    }
    static bool cutOffPassed() {
        return Clock::now().time_since_epoch().count() >= s_cutOff.load(std::memory_order_acquire);
    }

private:
    Clock::time_point m_own;
    const std::atomic<bool>* m_abandon;
    static inline std::atomic<Clock::rep> s_cutOff{Clock::duration::max().count()};
};

// The whole of one exchange with a collector, plain or HTTPS: connect, send and the complete
// answer. Long enough for a 2 MiB batch on a slow mobile uplink; a collector that trickles its
// answer costs at most this much, and the batch is kept for a later attempt.
constexpr std::chrono::milliseconds kExchangeTimeout{30000};
