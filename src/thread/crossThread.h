// The worker thread with a bounded queue of records that every background activity of the
// library is built on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "util/vesk2Utils.h"

namespace Threads {

// Where records go once the queue is full, for the pushes that may go there (pushOrSpill). Its
// calls come under the queue's lock: they must be short, and never take that lock themselves.
class SpillTarget {
public:
    virtual ~SpillTarget() = default;
    // True while take() would accept a record.
    virtual bool hasRoom() = 0;
    // Moves the one record of slot in; false (the record left in slot) when there is no room.
    virtual bool take(ListJobs& slot) = 0;
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
//
// A subclass may gather records for a window (gatherWindow) before a pass: the pass then waits
// until the window after the first record queued into an empty queue has passed, or until a
// quarter of the queue is full (a batch worth sending at once), or until stop(). On a cellular
// radio each request keeps the radio powered for seconds; one pass a window bounds that.
//
// Every timed wait runs on the steady clock: a wall clock set back (by the user or by time
// sync) would stretch each wait by the size of the jump.
class Thread {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kLookMs = 2;
    static constexpr int kLingerMs = 50;

    explicit Thread(int iMaxJobs);
    // Ends the worker without draining (what is queued is abandoned) and joins it. A subclass
    // whose running() the worker may still call stops and joins it in its own destructor.
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts the worker, unless one was started and not joined yet. When no thread can be
    // created, the object stays as if never started.
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

    // A push that goes to the spill target (setSpillTarget) instead of the queue once the queue
    // was found full, and for as long as spilling lasts: a record must not overtake an older one
    // by finding room in the queue while records spilled before it wait elsewhere.
    enum class Pushed { Queued, Spilled, Refused, NotSpilling };
    Pushed pushOrSpill(ListJobs& slot);
    // The same only while spilling lasts; otherwise NotSpilling, the record left in slot.
    Pushed spillIfSpilling(ListJobs& slot);
    bool spilling() const;

    size_t queuedCount() const;
    // True while a push would be taken: started, not stopping, and the queue (or while it is
    // full or spilling, the spill target) has room (callers
    // skip building a record bound to be refused). Then `slot` holds one record to fill and
    // push: one the worker gave back, or a new one. Filling a given-back record mostly
    // allocates nothing, which keeps malloc, its locks and its cold free lists off the
    // pushing thread.
    bool takeBlank(ListJobs& slot);

protected:
    virtual void running(ListJobs& listVals);
    virtual void initializeByThread();
    // The last call on the worker once a stop() drained it (not when the destructor ends it).
    virtual void endingByThread();
    // True while the subclass takes no records: passes then run with an empty list and the
    // records wait in the queue.
    virtual bool holdsRecordsBack() const;
    // How long records are gathered before a pass; zero passes at once.
    virtual std::chrono::milliseconds gatherWindow() const;
    // When the subclass has work of its own that needs a pass even with an empty queue; called
    // under the queue's lock (it must not take locks a pusher holds). Never by default.
    virtual Clock::time_point ownWorkDue() const;
    // Whether a full queue may begin spilling now rather than refuse; called under the queue's
    // lock (cheap, no lock a pusher holds). Always by default.
    virtual bool mayBeginSpilling() const;
    // Where pushOrSpill sends records once the queue is full; set before start().
    void setSpillTarget(SpillTarget* target) { m_spill = target; }
    // Spilling starts also without a full queue: what the target holds from an earlier process
    // must not be overtaken by records queued now.
    void beginSpilling();
    // For running(), holding `inHand` records taken from the queue: true while spilling once
    // every record queued before spilling began was dealt with (taken and not in hand).
    bool olderRecordsDealtWith(size_t inHand) const;
    // Ends spilling when drained() (called under the queue's lock: no push can spill meanwhile)
    // says the spill target holds nothing; true when spilling is over.
    bool endSpilling(const std::function<bool()>& drained);
    // True once stop() was called: the passes from now on are the drain.
    bool stopRequested() const;
    // For running(): records dealt with, readied (QueuedRecord::clearForReuse) for takeBlank
    // to hand out again. At most iMaxJobs are kept; the rest stay in `spent`.
    void giveBack(ListJobs& spent);
    // For running(): calls visit on each record still queued, oldest first, under the queue's
    // lock, so that no push goes between them; visit must be short and must not push.
    void forEachQueued(const std::function<void(QueuedRecord&)>& visit);

private:
    void _threadWorker();
    // Returns, `lock` held, once there is work to take or the worker is to end. lingerUntil:
    // until when the worker looks at the queue by itself instead of sleeping.
    void _waitForWork(std::unique_lock<std::mutex>& lock, Clock::time_point lingerUntil);
    // Records at which a pass goes without waiting for its window, and push() wakes the worker.
    size_t _fullBatch() const { return m_iMaxJobs > 0 ? static_cast<size_t>(m_iMaxJobs) / 4 : 0; }

    const int m_iMaxJobs;
    // Guards everything below; held only to move records in and out, never during a pass.
    mutable std::mutex m_mutex;
    // The worker is its only waiter.
    std::condition_variable m_workArrived;
    ListJobs m_lstJobs;
    // Records given back, to be filled again (takeBlank).
    ListJobs m_spare;
    size_t m_nJobs = 0;
    bool m_bKilled = false;
    bool m_bStopping = false;
    // Set by push() and wake(); a pass that consumed nothing waits until it is set again.
    bool m_bNewWork = false;
    // True while the worker sleeps until woken (not looking at the queue by itself).
    bool m_bWorkerAsleep = false;
    // When the oldest record still queued arrived in an empty queue: the gathering window
    // counts from there. Records put back by a pass are due at once.
    Clock::time_point m_firstQueuedAt{};
    SpillTarget* m_spill = nullptr;
    bool m_bSpilling = false;
    // Records ever queued, and how many had been when spilling began.
    uint64_t m_nPushed = 0;
    uint64_t m_nPushedBeforeSpill = 0;
    std::thread m_worker;

    // Never: the queue or nothing; WhenFull: pushOrSpill; Only: spillIfSpilling.
    enum class Spill { Never, WhenFull, Only };
    Pushed _push(ListJobs& slot, Spill spill);
};

}  // namespace Threads
