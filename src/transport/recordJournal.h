// The records of one project directory that sendLog accepted and the collector has not yet
// answered for, kept in "log.journal", a file of fixed size mapped into memory. Writing a
// record is a copy into the mapping: no system call on the application's thread. The kernel
// keeps the mapped pages when the process dies, by a crash or a kill, so the next start finds
// every record that was queued or in flight and hands it to local storage.
//
// The file: a header page, then a ring of entries. An entry is an 8-byte word (sequence number,
// length) followed by its body (journalEntry.h), padded to 8 bytes: a record's own fields with a
// reference to the fields entry that holds its channel's, written once per change of them. The
// word is written last, so an entry cut by a kill is not read back. The header holds the "done"
// word: the last sequence number the sending thread dealt with (delivered or stored) and where
// the next entry starts; and the "keep" word: where a reader starts, at the oldest fields entry
// an undone record uses when that lies before, which the writer never overwrites.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "thread/crossThread.h"
#include "transport/journalEntry.h"
#include "transport/journalFaults.h"
#include "transport/journalFile.h"
#include "transport/journalRecent.h"
#include "transport/journalRing.h"
#include "util/vesk2Utils.h"

class RecordJournal {
public:
    // Size of the ring. It holds what the queue (500 records) and one pass (2 MiB) can hold
    // in common cases; a record that does not fit is sent as usual, only not journaled.
    static constexpr size_t kRingBytes = journalRing::kRingBytes;

    // Journal files a directory may hold, one a process of the app (journalFile.h).
    static constexpr size_t kFiles = journalFile::kFiles;
    static std::string fileName(size_t index) { return journalFile::name(index); }

    // Opens or makes the first journal file of the directory no other process holds. Null when
    // the file cannot be mapped or every one is held (the records of this process are then
    // not journaled).
    static std::unique_ptr<RecordJournal> open(const std::string& directory);
    // The journal file `index` when it exists whole and no process holds it: one a process
    // that has ended left, for its leftovers. Held until the object goes.
    static std::unique_ptr<RecordJournal> openIdle(const std::string& directory, size_t index);
    // Which of the directory's journal files this is.
    size_t index() const { return m_index; }
    ~RecordJournal();
    RecordJournal(const RecordJournal&) = delete;
    RecordJournal& operator=(const RecordJournal&) = delete;

    // Journals record and calls push() (which queues it) while holding the journal, so that
    // sequence order is queue order. The entry counts only if push() returned true. The record
    // carries its sequence number in QueuedRecord::sequence; one that does not fit has 0.
    template <typename Push>
    bool appendAndPush(QueuedRecord& record, Push&& push);
    // Journals each record walk hands to its argument, in one hold (walk may lock the queue).
    template <typename Walk>
    void appendEach(Walk&& walk);

    // Every entry up to sequence number `last` was dealt with; also readies the ring ahead.
    void markDone(uint32_t last);
    // How much of the ring after the last entry is made writable ahead of time: more than the
    // queue and a pass in flight hold in common cases.
    static constexpr size_t kReadyAheadBytes = 512 * 1024;
    // Readied at a time at least, so that most passes make no system call for it.
    static constexpr size_t kReadyStepBytes = 64 * 1024;

    // The records an earlier process left undone, oldest first, and the sequence number of the
    // last of them (markDone it once they are stored). Empty after the first call.
    std::vector<MapValues> takeLeftovers(uint32_t& last);

    // Records that did not fit since the journal opened.
    uint64_t notJournaled() const;

    // The lock-free reading of the last entries, for a crash's signal handler (journalRecent.h).
    using EntryView = JournalRecent::EntryView;
    static constexpr size_t kRecentEntries = JournalRecent::kEntries;
    size_t recentEntries(EntryView* views, size_t capacity) const {
        return m_recent.entries(views, capacity);
    }
    bool sharedFieldsOf(const EntryView& record, EntryView& fields) const {
        return m_recent.sharedFieldsOf(record, fields);
    }
    bool stillHolds(const EntryView& view) const { return m_recent.stillHolds(view); }

private:
    RecordJournal(int fd, unsigned char* map, journalFaults::Slot* slot, size_t index);
    static std::unique_ptr<RecordJournal> adopt(const journalFile::Mapped& file, size_t index);
    // False once the file shrank under the mapping (checked with fstat) or a fault took it over.
    bool stillMapped();
    void reset();
    // Writes the record's entry at the next place, after a fields entry for its channel's fields
    // when none it may use is in the ring, and returns its sequence number; 0 when it does not
    // fit. The record entry is not visible until commit.
    uint32_t write(const QueuedRecord& record);
    void commit();
    // Makes the entry at `at` (ending at `end`, with the word `entry`) visible.
    void commitEntry(uint64_t at, uint64_t end, uint64_t entry);
    // A wrap word at `at` when the entry goes at the ring's start instead (journalRing::placed).
    void putWrapWord(uint64_t at, uint64_t entryAt);
    // Adopts what an earlier process left; an old-format file is made anew with its records.
    void recover();
    // Moves the keep position to the oldest fields entry an undone record uses, else to done.
    void updateKeep();
    void markDoneLocked(uint32_t last);
    // A first write to a clean page of a shared file mapping faults (dirty pages are tracked),
    // and pages turn clean after each writeback: such faults would fall on sendLog every few
    // records. Makes the pages up to kReadyAheadBytes after writeAt writable without writing
    // (MADV_POPULATE_WRITE, where the kernel has it). Only the thread that marks done calls it.
    void readyAhead(uint64_t writeAt);

    const int m_fd;
    unsigned char* const m_map;
    const size_t m_index;
    // Its slot in the SIGBUS handler's table.
    journalFaults::Slot* const m_slot;
    // Set by the sending thread under m_mutex once the file was cut short: nothing is written.
    bool m_givenUp = false;
    mutable std::mutex m_mutex;
    // Positions in the ring, counted in bytes since the journal opened (offset = % kRingBytes).
    uint64_t m_doneAt = 0;
    uint64_t m_writeAt = 0;
    // Where a reader starts (at most m_doneAt): nothing from here on is overwritten.
    uint64_t m_keepFrom = 0;
    uint32_t m_doneSequence = 0;
    uint32_t m_nextSequence = 1;
    // The entry written and not yet committed: where it starts and its first word.
    uint64_t m_pendingAt = 0;
    uint64_t m_pendingEnd = 0;
    uint64_t m_pendingWord = 0;
    uint64_t m_notJournaled = 0;
    // Where readyAhead stopped (a position like m_writeAt).
    uint64_t m_readyUntil = 0;
    std::vector<MapValues> m_leftovers;
    uint32_t m_lastLeftover = 0;
    // Written under m_mutex, like the positions.
    EntryWriter m_entries;
    // Told of each commit under m_mutex, read without it.
    JournalRecent m_recent;
};

template <typename Push>
bool RecordJournal::appendAndPush(QueuedRecord& record, Push&& push) {
    std::lock_guard lock(m_mutex);
    const uint32_t sequence = write(record);
    record.sequence = sequence;
    if (!push()) return false;
    if (sequence != 0) commit();
    return true;
}

template <typename Walk>
void RecordJournal::appendEach(Walk&& walk) {
    std::lock_guard lock(m_mutex);
    walk([this](QueuedRecord& record) {
        record.sequence = write(record);
        if (record.sequence != 0) commit();
    });
}
