// The journal of one channel directory from the channel's registration on. Opening it is file
// work (making, reserving and mapping "log.journal", reading back what an earlier process left),
// which belongs on the sending thread, not on the application's thread that registers the
// channel. Until it is open the directory's records are queued without an entry; the opening
// journals the ones still queued or in the sending thread's pass before any later record can
// reach the journal, so sequence order stays queue order and what was logged from the first
// call survives a crash once the journal is open.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "transport/recordJournal.h"
#include "util/vesk2Utils.h"

class JournalSlot {
public:
    explicit JournalSlot(std::string directory) : m_directory(std::move(directory)) {}
    JournalSlot(const JournalSlot&) = delete;
    JournalSlot& operator=(const JournalSlot&) = delete;

    const std::string& directory() const { return m_directory; }
    // The open journal; null before the opening and for good when it failed. Lock-free, so a
    // crash's signal handler reads it too.
    RecordJournal* journal() const { return m_journal.load(std::memory_order_acquire); }
    bool opened() const { return m_opened.load(std::memory_order_acquire); }

    // Queues record with push(), journaled first once the journal is open (see
    // RecordJournal::appendAndPush); before that it is queued with sequence number 0, marked
    // (QueuedRecord::awaits) for the opening to journal.
    template <typename Push>
    bool appendAndPush(QueuedRecord& record, Push&& push);

    // For a sending thread: opens the journal without holding the slot, then, holding
    // it, calls journalWaiting with the journal (not when it could not be opened) to journal
    // the records queued before (those that await this slot), and only then makes the journal
    // visible. Application threads queueing meanwhile wait for it: it must be short. False when
    // it was opened before (or by another sending thread meanwhile).
    bool open(const std::function<void(RecordJournal&)>& journalWaiting);

private:
    const std::string m_directory;
    // Held by a record queued before the journal is visible and by the opening's hand-over.
    std::mutex m_mutex;
    // Held for a whole opening, file work included: a journal is opened once.
    std::mutex m_opening;
    std::unique_ptr<RecordJournal> m_owned;
    std::atomic<RecordJournal*> m_journal{nullptr};
    std::atomic<bool> m_opened{false};
};

// The crash path reads the journal pointer from a signal handler.
static_assert(std::atomic<RecordJournal*>::is_always_lock_free);

template <typename Push>
bool JournalSlot::appendAndPush(QueuedRecord& record, Push&& push) {
    if (RecordJournal* open = journal()) return open->appendAndPush(record, push);
    // A journal that could not be opened never will be: sent as usual, not journaled, and no
    // lock taken for it.
    if (opened()) {
        record.sequence = 0;
        return push();
    }
    // The opening hands over under the lock: a record pushed here is either in the queue
    // before it journals the queue, or finds the journal visible.
    std::lock_guard lock(m_mutex);
    if (RecordJournal* open = journal()) return open->appendAndPush(record, push);
    record.sequence = 0;
    record.awaits = this;
    return push();
}
