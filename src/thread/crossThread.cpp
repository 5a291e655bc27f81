#include "thread/crossThread.h"

#include <algorithm>
#include <optional>
#include <system_error>
#include <utility>

namespace Threads {

namespace {

constexpr std::chrono::milliseconds kLook{Thread::kLookMs};
constexpr std::chrono::milliseconds kLinger{Thread::kLingerMs};

}  // namespace

Thread::Thread(int iMaxJobs) : m_iMaxJobs(iMaxJobs) {}

Thread::~Thread() {
    // By now the subclass part is gone, so a pass could no longer deliver anything: end the
    // worker at once (no draining) and reap it, so it never touches a destroyed object.
    {
        std::lock_guard lock(m_mutex);
        m_bKilled = true;
    }
    m_workArrived.notify_one();
    join();
}

void Thread::start() {
    std::lock_guard lock(m_mutex);
    if (m_worker.joinable()) return;
    try {
        m_worker = std::thread(&Thread::_threadWorker, this);
    } catch (const std::system_error&) {
        // No worker kept: stop(), join() and takeBlank() then see a never-started object.
    }
}

void Thread::stop() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_worker.joinable()) return;
        m_bStopping = true;
    }
    m_workArrived.notify_one();
}

void Thread::join() {
    // Taking the worker out under the lock makes a second, concurrent join a no-op instead of
    // a second join of the same thread.
    std::thread worker;
    {
        std::lock_guard lock(m_mutex);
        worker = std::move(m_worker);
    }
    if (worker.joinable()) worker.join();
}

bool Thread::push(MapValues mapVals) { return push(QueuedRecord(std::move(mapVals))); }

bool Thread::push(QueuedRecord record) {
    // Node made outside the lock; declared before the lock so a dropped one is freed after it.
    ListJobs slot;
    slot.push_back(std::move(record));
    return push(slot);
}

bool Thread::push(ListJobs& slot) { return _push(slot, Spill::Never) == Pushed::Queued; }

Thread::Pushed Thread::pushOrSpill(ListJobs& slot) { return _push(slot, Spill::WhenFull); }

Thread::Pushed Thread::spillIfSpilling(ListJobs& slot) { return _push(slot, Spill::Only); }

Thread::Pushed Thread::_push(ListJobs& slot, Spill spill) {
    if (m_spill == nullptr && spill == Spill::Only) return Pushed::NotSpilling;
    if (slot.size() != 1 || slot.front().empty()) return Pushed::Refused;
    bool wakeWorker = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_bStopping || m_bKilled) return Pushed::Refused;
        const bool full = m_iMaxJobs <= 0 || m_nJobs >= static_cast<size_t>(m_iMaxJobs);
        const bool spills = m_spill != nullptr && spill != Spill::Never &&
                            (m_bSpilling || (full && mayBeginSpilling()));
        if (spill == Spill::Only && !spills) return Pushed::NotSpilling;
        if (spills) {
            if (!m_spill->take(slot)) return Pushed::Refused;
            if (!m_bSpilling) m_nPushedBeforeSpill = m_nPushed;
            m_bSpilling = true;
            return Pushed::Spilled;
        }
        if (full) return Pushed::Refused;
        if (m_nJobs == 0) m_firstQueuedAt = Clock::now();
        m_lstJobs.splice(m_lstJobs.end(), slot);
        ++m_nJobs;
        ++m_nPushed;
        m_bNewWork = true;
        // A lingering or gathering worker finds the record by itself; a fuller queue must not
        // wait for it.
        wakeWorker = m_bWorkerAsleep || m_nJobs >= _fullBatch();
    }
    // After the unlock, so the woken worker does not block at once on the mutex we hold.
    if (wakeWorker) m_workArrived.notify_one();
    return Pushed::Queued;
}

bool Thread::spilling() const {
    std::lock_guard lock(m_mutex);
    return m_bSpilling;
}

void Thread::beginSpilling() {
    std::lock_guard lock(m_mutex);
    if (m_bSpilling) return;
    m_bSpilling = true;
    m_nPushedBeforeSpill = m_nPushed;
}

bool Thread::olderRecordsDealtWith(size_t inHand) const {
    std::lock_guard lock(m_mutex);
    return m_bSpilling && m_nPushed - m_nJobs - inHand >= m_nPushedBeforeSpill;
}

bool Thread::endSpilling(const std::function<bool()>& drained) {
    std::lock_guard lock(m_mutex);
    if (m_bSpilling && drained()) m_bSpilling = false;
    return !m_bSpilling;
}

void Thread::wake() {
    {
        std::lock_guard lock(m_mutex);
        m_bNewWork = true;
    }
    m_workArrived.notify_one();
}

bool Thread::takeBlank(ListJobs& slot) {
    {
        std::lock_guard lock(m_mutex);
        const bool queueRoom =
            !m_bSpilling && m_iMaxJobs > 0 && m_nJobs < static_cast<size_t>(m_iMaxJobs);
        const bool room =
            m_worker.joinable() && !m_bStopping && !m_bKilled &&
            (queueRoom ||
             (m_spill != nullptr && (m_bSpilling || mayBeginSpilling()) && m_spill->hasRoom()));
        if (!room) return false;
        if (!m_spare.empty()) {
            slot.splice(slot.end(), m_spare, m_spare.begin());
            return true;
        }
    }
    slot.emplace_back();
    return true;
}

void Thread::giveBack(ListJobs& spent) {
    for (QueuedRecord& record : spent) record.clearForReuse();
    std::lock_guard lock(m_mutex);
    const size_t bound = m_iMaxJobs > 0 ? static_cast<size_t>(m_iMaxJobs) : 0;
    auto kept = spent.begin();
    for (size_t room = bound - std::min(bound, m_spare.size()); room > 0 && kept != spent.end();
         --room) {
        ++kept;
    }
    // In front: records dealt with in the last pass are likelier in a cache than older ones.
    m_spare.splice(m_spare.begin(), spent, spent.begin(), kept);
}

void Thread::forEachQueued(const std::function<void(QueuedRecord&)>& visit) {
    std::lock_guard lock(m_mutex);
    for (QueuedRecord& record : m_lstJobs) visit(record);
}

bool Thread::stopRequested() const {
    std::lock_guard lock(m_mutex);
    return m_bStopping;
}

size_t Thread::queuedCount() const {
    std::lock_guard lock(m_mutex);
    return m_nJobs;
}

void Thread::running(ListJobs& /*listVals*/) {}

void Thread::initializeByThread() {}

void Thread::endingByThread() {}

bool Thread::holdsRecordsBack() const { return false; }

std::chrono::milliseconds Thread::gatherWindow() const { return std::chrono::milliseconds(0); }

Thread::Clock::time_point Thread::ownWorkDue() const { return Clock::time_point::max(); }

bool Thread::mayBeginSpilling() const { return true; }

void Thread::_threadWorker() {
    initializeByThread();
    ListJobs batch;
    // A drain pass that took nothing would take nothing again: the worker ends instead.
    bool drainStalled = false;
    std::optional<Clock::time_point> lastPassStart;
    Clock::time_point lingerUntil = Clock::now();
    for (;;) {
        bool draining = false;
        {
            std::unique_lock lock(m_mutex);
            _waitForWork(lock, lingerUntil);
            if (m_bKilled) return;  // records still queued are abandoned
            if (m_bStopping && (m_nJobs == 0 || drainStalled)) {
                // Outside the lock: the subclass may still hand work to others that push or wake.
                lock.unlock();
                endingByThread();
                return;
            }
            draining = m_bStopping;
            m_bNewWork = false;
            // Records held back stay in the queue, where they count against its bound; the
            // pass still runs for whatever else the subclass does. The drain takes them all.
            if (draining || !holdsRecordsBack()) {
                batch.swap(m_lstJobs);
                m_nJobs = 0;
            }
        }
        const Clock::time_point passStart = Clock::now();
        const bool workComesOften = lastPassStart && passStart < *lastPassStart + kLinger;
        lingerUntil = workComesOften ? passStart + kLinger : passStart;
        lastPassStart = passStart;
        const size_t nOffered = batch.size();
        // Without the lock: running() may spend seconds on the network, and push() must not
        // wait for it.
        running(batch);

        std::lock_guard lock(m_mutex);
        const size_t nLeft = batch.size();
        m_lstJobs.splice(m_lstJobs.begin(), batch);  // leftovers are older than new records
        m_nJobs += nLeft;
        // What a pass left is a full batch already, or was held back: it waits no window.
        if (nLeft > 0) m_firstQueuedAt = Clock::time_point{};
        if (nLeft < nOffered) m_bNewWork = true;  // progress made: offer the rest at once
        drainStalled = draining && nLeft == nOffered;
    }
}

void Thread::_waitForWork(std::unique_lock<std::mutex>& lock, Clock::time_point lingerUntil) {
    for (;;) {
        // A pass that consumed nothing would consume nothing again: wait for new work.
        // Its own work (ownWorkDue) runs a pass with or without records.
        while (!m_bKilled && !m_bStopping && (m_nJobs == 0 || !m_bNewWork)) {
            const Clock::time_point now = Clock::now();
            const Clock::time_point ownDue = ownWorkDue();
            if (now >= ownDue) return;
            if (now < lingerUntil) {
                m_workArrived.wait_until(lock, std::min({now + kLook, lingerUntil, ownDue}));
                continue;
            }
            m_bWorkerAsleep = true;
            if (ownDue == Clock::time_point::max()) {
                m_workArrived.wait(lock);
            } else {
                m_workArrived.wait_until(lock, ownDue);
            }
            m_bWorkerAsleep = false;
        }
        if (m_bKilled || m_bStopping || holdsRecordsBack() || m_nJobs >= _fullBatch()) return;
        if (Clock::now() >= ownWorkDue()) return;
        const std::chrono::milliseconds window = gatherWindow();
        if (window.count() <= 0) return;
        const Clock::time_point due = m_firstQueuedAt + window;
        if (Clock::now() >= due) return;
        // Not asleep: push() wakes it only once a batch is full, stop() always.
        m_workArrived.wait_until(lock, due);
    }
}

}  // namespace Threads
