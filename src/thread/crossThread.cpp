#include "thread/crossThread.h"

#include <errno.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <utility>

namespace Threads {

namespace {

// Destroying a primitive that is still in use is retried this many times; after that its
// storage is leaked on purpose, since freeing memory another thread still uses is worse.
const int kMaxDestroyAttempts = 1000;

const int kStartChecks = 10;
const int kStartCheckMs = 50;

const long kNanosPerSecond = 1000000000L;
// How often a timed lock looks whether the mutex became free. pthread_mutex_timedlock only
// takes wall-clock deadlines, so the wait is a sequence of short sleeps on kWaitClock.
const long kLockPollNanos = 1000000L;

bool isBefore(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

bool passed(const timespec& deadline) { return !isBefore(waitClockNow(), deadline); }

}  // namespace

timespec waitClockNow() {
    timespec now{};
    clock_gettime(kWaitClock, &now);
    return now;
}

timespec deadlineFrom(const timespec& now, int iMillSeconds) {
    timespec deadline{};
    deadline.tv_sec = now.tv_sec + iMillSeconds / 1000;
    // Both terms are below one second, so a single carry keeps tv_nsec in range. 64-bit
    // arithmetic because their sum does not fit a 32-bit long comfortably.
    long long nanos = static_cast<long long>(now.tv_nsec) +
                      static_cast<long long>(iMillSeconds % 1000) * 1000000LL;
    if (nanos >= kNanosPerSecond) {
        nanos -= kNanosPerSecond;
        deadline.tv_sec += 1;
    }
    deadline.tv_nsec = static_cast<long>(nanos);
    return deadline;
}

// ---------------------------------------------------------------------------------------------
// Mutex

Mutex::Mutex() : m_pMutex(std::make_unique<pthread_mutex_t>()) {
    pthread_mutex_init(m_pMutex.get(), nullptr);
}

Mutex::~Mutex() {
    int attempts = 0;
    while (pthread_mutex_destroy(m_pMutex.get()) == EBUSY) {
        if (++attempts >= kMaxDestroyAttempts) {
            m_pMutex.release();  // still held by someone: leak rather than free it under them
            return;
        }
        // trylock instead of lock: a holder that never lets go must not hang the destructor.
        if (pthread_mutex_trylock(m_pMutex.get()) == 0) {
            pthread_mutex_unlock(m_pMutex.get());
        } else {
            sched_yield();
        }
    }
}

void Mutex::lock() const { pthread_mutex_lock(m_pMutex.get()); }

void Mutex::unlock() const { pthread_mutex_unlock(m_pMutex.get()); }

bool Mutex::tryLockFor(int iMillSeconds) const {
    if (iMillSeconds <= 0) return pthread_mutex_trylock(m_pMutex.get()) == 0;
    return tryLockUntil(deadlineFrom(waitClockNow(), iMillSeconds));
}

bool Mutex::tryLockUntil(const timespec& deadline) const {
    for (;;) {
        if (pthread_mutex_trylock(m_pMutex.get()) == 0) return true;
        if (passed(deadline)) return false;
        const timespec pause{0, kLockPollNanos};
        clock_nanosleep(kWaitClock, 0, &pause, nullptr);
    }
}

// ---------------------------------------------------------------------------------------------
// Condition

Condition::Condition() : m_pCondition(std::make_unique<pthread_cond_t>()) {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, kWaitClock);
    pthread_cond_init(m_pCondition.get(), &attributes);
    pthread_condattr_destroy(&attributes);
}

Condition::~Condition() {
    int attempts = 0;
    while (pthread_cond_destroy(m_pCondition.get()) == EBUSY) {
        if (++attempts >= kMaxDestroyAttempts) {
            m_pCondition.release();  // waiters remain: leak rather than free it under them
            return;
        }
        broadcast();
        sched_yield();
    }
}

void Condition::broadcast() const { pthread_cond_broadcast(m_pCondition.get()); }

void Condition::signal() const { pthread_cond_signal(m_pCondition.get()); }

bool Condition::wait(int iMillSeconds) const {
    if (iMillSeconds <= 0) {
        pthread_cond_wait(m_pCondition.get(), m_pMutex.get());
        return true;
    }
    return waitUntil(deadlineFrom(waitClockNow(), iMillSeconds));
}

bool Condition::waitUntil(const timespec& deadline) const {
    return pthread_cond_timedwait(m_pCondition.get(), m_pMutex.get(), &deadline) != ETIMEDOUT;
}

// ---------------------------------------------------------------------------------------------
// Thread

Thread::Thread(int iMaxJobs) : m_iMaxJobs(iMaxJobs) {}

Thread::~Thread() {
    // By now the subclass part is gone, so a pass could no longer deliver anything: end the
    // worker at once (no draining) and reap it, so it never touches a destroyed object.
    {
        scoped_lock lock(*this);
        m_bKilled = true;
        broadcast();
    }
    join();
}

void Thread::start() {
    scoped_lock lock(*this);
    if (m_pThread) return;

    auto handle = std::make_unique<pthread_t>();
    if (pthread_create(handle.get(), nullptr, &Thread::_threadWrapper, this) != 0) {
        return;  // no handle kept: stop() and join() then see a never-started object
    }
    m_pThread = std::move(handle);
    // A killed worker ends right after reporting and may clear m_bStarted before we look,
    // so there is nothing to wait for then.
    for (int i = 0; i < kStartChecks && !m_bStarted && !m_bKilled; ++i) {
        wait(kStartCheckMs);
    }
}

void Thread::stop() {
    scoped_lock lock(*this);
    if (!m_pThread) return;
    m_bStopping = true;
    broadcast();
}

void Thread::join() {
    // Taking the handle out under the lock makes a second, concurrent join a no-op instead of
    // a second pthread_join on the same thread.
    std::unique_ptr<pthread_t> handle;
    {
        scoped_lock lock(*this);
        handle = std::move(m_pThread);
    }
    if (handle) pthread_join(*handle, nullptr);
}

bool Thread::push(MapValues mapVals) { return push(QueuedRecord(std::move(mapVals))); }

bool Thread::push(QueuedRecord record) {
    // Node made outside the lock; declared before the lock so a dropped one is freed after it.
    ListJobs slot;
    slot.push_back(std::move(record));
    return push(slot);
}

bool Thread::push(ListJobs& slot) {
    if (slot.size() != 1 || slot.front().empty()) return false;

    scoped_lock lock(*this);
    if (m_bStopping || m_bKilled) return false;
    if (m_iMaxJobs <= 0 || m_nJobs >= static_cast<size_t>(m_iMaxJobs)) return false;
    m_lstJobs.splice(m_lstJobs.end(), slot);
    ++m_nJobs;
    m_bNewWork = true;
    // A lingering worker finds the record by itself; a fuller queue must not wait for it.
    if (m_bWorkerAsleep || m_nJobs >= static_cast<size_t>(m_iMaxJobs) / 4) {
        // Broadcast: start() or stop() may be waiting on the same condition, and a signal that
        // woke one of them instead of the worker would leave the record sitting in the queue.
        broadcast();
    }
    return true;
}

void Thread::wake() {
    scoped_lock lock(*this);
    m_bNewWork = true;
    broadcast();
}

bool Thread::takeBlank(ListJobs& slot) {
    {
        scoped_lock lock(*this);
        const bool room = m_pThread && !m_bStopping && !m_bKilled && m_iMaxJobs > 0 &&
                          m_nJobs < static_cast<size_t>(m_iMaxJobs);
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
    scoped_lock lock(*this);
    const size_t bound = m_iMaxJobs > 0 ? static_cast<size_t>(m_iMaxJobs) : 0;
    auto kept = spent.begin();
    for (size_t room = bound - std::min(bound, m_spare.size()); room > 0 && kept != spent.end();
         --room) {
        ++kept;
    }
    // In front: records dealt with in the last pass are likelier in a cache than older ones.
    m_spare.splice(m_spare.begin(), spent, spent.begin(), kept);
}

bool Thread::stopRequested() const {
    scoped_lock lock(*this);
    return m_bStopping;
}

size_t Thread::queuedCount() const {
    scoped_lock lock(*this);
    return m_nJobs;
}

void Thread::running(ListJobs& /*listVals*/) {}

void Thread::initializeByThread() {}

void* Thread::_threadWrapper(void* pVoid) {
    Thread* pThis = static_cast<Thread*>(pVoid);
    {
        scoped_lock lock(*pThis);
        pThis->m_bStarted = true;
        pThis->broadcast();
    }
    pThis->_threadWorker();
    {
        scoped_lock lock(*pThis);
        pThis->m_bStarted = false;
    }
    return nullptr;
}

bool Thread::holdsRecordsBack() const { return false; }

void Thread::_threadWorker() {
    initializeByThread();
    ListJobs batch;
    // A drain pass that took nothing would take nothing again: the worker ends instead.
    bool drainStalled = false;
    bool passedBefore = false;
    timespec lastPassStart{};
    timespec lingerUntil = waitClockNow();
    for (;;) {
        bool draining = false;
        {
            scoped_lock lock(*this);
            _waitForWork(lingerUntil);
            if (m_bKilled) return;  // records still queued are abandoned
            if (m_bStopping && (m_nJobs == 0 || drainStalled)) return;
            draining = m_bStopping;
            m_bNewWork = false;
            // Records held back stay in the queue, where they count against its bound; the
            // pass still runs for whatever else the subclass does. The drain takes them all.
            if (draining || !holdsRecordsBack()) {
                batch.swap(m_lstJobs);
                m_nJobs = 0;
            }
        }
        const timespec passStart = waitClockNow();
        const bool workComesOften =
            passedBefore && isBefore(passStart, deadlineFrom(lastPassStart, kLingerMs));
        lingerUntil = workComesOften ? deadlineFrom(passStart, kLingerMs) : passStart;
        lastPassStart = passStart;
        passedBefore = true;
        const size_t nOffered = batch.size();
        // Without the lock: running() may spend seconds on the network, and push() must not
        // wait for it.
        running(batch);

        scoped_lock lock(*this);
        const size_t nLeft = batch.size();
        m_lstJobs.splice(m_lstJobs.begin(), batch);  // leftovers are older than new records
        m_nJobs += nLeft;
        if (nLeft < nOffered) m_bNewWork = true;  // progress made: offer the rest at once
        drainStalled = draining && nLeft == nOffered;
    }
}

void Thread::_waitForWork(const timespec& lingerUntil) {
    // A pass that consumed nothing would consume nothing again: wait for new work.
    while (!m_bKilled && !m_bStopping && (m_nJobs == 0 || !m_bNewWork)) {
        const timespec now = waitClockNow();
        if (isBefore(now, lingerUntil)) {
            const timespec look = deadlineFrom(now, kLookMs);
            waitUntil(isBefore(look, lingerUntil) ? look : lingerUntil);
            continue;
        }
        m_bWorkerAsleep = true;
        wait(0);
        m_bWorkerAsleep = false;
    }
}

}  // namespace Threads
