// Mutex, condition and the worker thread with a bounded queue of records that every
// background activity of the library is built on.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstddef>
#include <memory>

#include "util/vesk2Utils.h"

namespace Threads {

// Every timed wait runs on this clock: a wall clock set back (by the user or by time sync)
// would stretch each wait by the size of the jump.
constexpr clockid_t kWaitClock = CLOCK_MONOTONIC;
// The current time on kWaitClock.
timespec waitClockNow();
// Absolute deadline iMillSeconds (> 0) after now, both on kWaitClock.
timespec deadlineFrom(const timespec& now, int iMillSeconds);

class Mutex {
public:
    Mutex();
    virtual ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() const;
    void unlock() const;
    // Takes the mutex if it becomes free within iMillSeconds; false when it did not.
    bool tryLockFor(int iMillSeconds) const;
    // The same up to an absolute deadline on kWaitClock.
    bool tryLockUntil(const timespec& deadline) const;

    class scoped_lock {
    public:
        explicit scoped_lock(const Mutex& rMutex) : m_rMutex(rMutex) { m_rMutex.lock(); }
        ~scoped_lock() { m_rMutex.unlock(); }
        scoped_lock(const scoped_lock&) = delete;
        scoped_lock& operator=(const scoped_lock&) = delete;

    private:
        const Mutex& m_rMutex;
    };

    // For code that must not wait for ever (a crash report while the holder may be the
    // crashed thread itself): holds the mutex only if it could be had in time.
    class timed_lock {
    public:
        timed_lock(const Mutex& rMutex, int iMillSeconds)
            : m_rMutex(rMutex), m_bOwns(rMutex.tryLockFor(iMillSeconds)) {}
        ~timed_lock() {
            if (m_bOwns) m_rMutex.unlock();
        }
        timed_lock(const timed_lock&) = delete;
        timed_lock& operator=(const timed_lock&) = delete;
        bool owns() const { return m_bOwns; }

    private:
        const Mutex& m_rMutex;
        const bool m_bOwns;
    };

protected:
    std::unique_ptr<pthread_mutex_t> m_pMutex;
};

class Condition : public Mutex {
public:
    Condition();
    ~Condition() override;

    void broadcast() const;
    void signal() const;
    // The caller holds the mutex. Waits for a wake-up, at most iMillSeconds (no limit when
    // iMillSeconds <= 0). Returns false only when the time-out elapsed.
    bool wait(int iMillSeconds) const;
    // The same up to an absolute deadline on kWaitClock.
    bool waitUntil(const timespec& deadline) const;

private:
    std::unique_ptr<pthread_cond_t> m_pCondition;
};

// One worker thread fed by a bounded FIFO queue of records. The worker takes everything
// queued out of the queue under the lock and hands it to running() without holding the lock,
// so push() never waits for a pass; what running() leaves is put back at the front. Records
// running() is done with can be given back (giveBack) for pushers to fill again (takeBlank):
// freeing them on the worker and allocating anew on the pushing thread would put malloc on the
// pusher, with its locks and the cold free lists the worker left.
//
// Waking a sleeping worker is a system call, and it falls on the thread that pushes. While
// records come often (a pass began less than kLingerMs before the last one), the worker does
// not sleep between passes but looks at the queue every kLookMs, so push() wakes it only when
// it sleeps for real or the queue is a quarter full; records then wait at most kLookMs.
class Thread : public Condition {
public:
    static constexpr int kLookMs = 2;
    static constexpr int kLingerMs = 50;

    explicit Thread(int iMaxJobs);
    ~Thread() override;

    void start();
    // Asks the worker to drain the queue and end; returns at once, join() waits for the end.
    // The worker goes on with its passes, records held back included, until the queue is
    // empty or a pass takes nothing. From now on push() refuses. The owner bounds the drain
    // (running() must make each pass short once it wants the end near). Before start(),
    // nothing happens.
    void stop();
    void join();
    // Queues a copy of the record and wakes the worker. False when the record was empty, the
    // queue already held iMaxJobs records, or stop() was called (the record is dropped).
    bool push(MapValues mapVals);
    bool push(QueuedRecord record);
    // The same for the one record `slot` holds, moved into the queue without allocating; on
    // refusal it stays in `slot`.
    bool push(ListJobs& slot);
    // Wakes the worker for a pass even when nothing new was queued.
    void wake();

    size_t queuedCount() const;
    // True while a push would be taken: started, not stopping, and the queue has room (callers
    // skip building a record bound to be refused). Then `slot` holds one record to fill and
    // push: one the worker gave back, or a new one. Filling a given-back record mostly
    // allocates nothing, which keeps malloc, its locks and its cold free lists off the
    // pushing thread.
    bool takeBlank(ListJobs& slot);

protected:
    virtual void running(ListJobs& listVals);
    virtual void initializeByThread();
    // True while the subclass takes no records: passes then run with an empty list and the
    // records wait in the queue.
    virtual bool holdsRecordsBack() const;
    // True once stop() was called: the passes from now on are the drain.
    bool stopRequested() const;
    // For running(): records dealt with, readied (QueuedRecord::clearForReuse) for takeBlank
    // to hand out again. At most iMaxJobs are kept; the rest stay in `spent`.
    void giveBack(ListJobs& spent);

private:
    static void* _threadWrapper(void* pVoid);
    void _threadWorker();
    // The caller holds the lock. Returns once there is work to take, or the worker is to end.
    // lingerUntil: until when the worker looks at the queue by itself instead of sleeping.
    void _waitForWork(const timespec& lingerUntil);

    const int m_iMaxJobs;
    ListJobs m_lstJobs;
    // Records given back, to be filled again (takeBlank).
    ListJobs m_spare;
    size_t m_nJobs = 0;
    bool m_bKilled = false;
    bool m_bStopping = false;
    bool m_bStarted = false;
    // Set by push() and wake(); a pass that consumed nothing waits until it is set again.
    bool m_bNewWork = false;
    // True while the worker sleeps until woken (not looking at the queue by itself).
    bool m_bWorkerAsleep = false;
    std::unique_ptr<pthread_t> m_pThread;
};

}  // namespace Threads
