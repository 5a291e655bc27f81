#include "transport/recordJournal.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "transport/journalEntry.h"
#include "transport/journalFaults.h"
#include "transport/journalFile.h"
#include "transport/journalRecovery.h"
#include "transport/journalRing.h"
#include "util/utilLog.h"

// Older C library headers lack it; a kernel that lacks it answers EINVAL.
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

using namespace journalRing;

std::unique_ptr<RecordJournal> RecordJournal::open(const std::string& directory) {
    for (size_t index = 0; index < kFiles; ++index) {
        journalFile::Mapped file;
        const journalFile::Taken taken = journalFile::take(directory, index, true, file);
        if (taken == journalFile::Taken::Mapped) return adopt(file, index);
        if (taken == journalFile::Taken::Failed) return nullptr;
    }
    _warn_log("[journal] every journal of " + directory +
              " is in use by other processes, records not journaled");
    return nullptr;
}

std::unique_ptr<RecordJournal> RecordJournal::openIdle(const std::string& directory, size_t index) {
    journalFile::Mapped file;
    if (index >= kFiles ||
        journalFile::take(directory, index, false, file) != journalFile::Taken::Mapped) {
        return nullptr;
    }
    return adopt(file, index);
}

std::unique_ptr<RecordJournal> RecordJournal::adopt(const journalFile::Mapped& file, size_t index) {
    std::unique_ptr<RecordJournal> journal(new RecordJournal(file.fd, file.map, file.slot, index));
    journal->recover();
    journal->m_recent.setEnd(journal->m_writeAt);
    journal->readyAhead(journal->m_writeAt);
    return journal;
}

RecordJournal::RecordJournal(int fd, unsigned char* map, journalFaults::Slot* slot, size_t index)
    : m_fd(fd), m_map(map), m_index(index), m_slot(slot), m_recent(map + kHeaderBytes) {}

RecordJournal::~RecordJournal() {
    journalFaults::release(m_slot);
    munmap(m_map, kFileBytes);
    close(m_fd);
}

// Each pass: a journal whose file shrank, or whose pages a fault already took over, is given up.
// Its pages turn anonymous at once, so the application's next write cannot fault on them.
bool RecordJournal::stillMapped() {
    struct stat status {};
    if (fstat(m_fd, &status) == 0 && static_cast<size_t>(status.st_size) < kFileBytes) {
        journalFaults::giveUp(m_slot);
    }
    return !journalFaults::lost(m_slot);
}

void RecordJournal::reset() {
    memset(m_map, 0, kFileBytes);
    memcpy(m_map, kMagic, sizeof kMagic);
    storeWord(m_map + kDoneWordAt, word(0, 0));
    storeWord(m_map + kKeepWordAt, word(after(0), 0));
}

void RecordJournal::recover() {
    journalRecovery::Found found = journalRecovery::read(m_map);
    if (found.unresolved != 0) {
        _warn_log("[journal] " + std::to_string(found.unresolved) +
                  " records of an earlier process lost their channel's fields; left out");
    }
    if (found.format == journalRecovery::Format::Current) {
        m_doneSequence = found.doneSequence;
        m_keepFrom = found.keepFrom;
        m_doneAt = found.doneAt;
        m_writeAt = found.writeAt;
        m_nextSequence = found.nextSequence;
        m_lastLeftover = found.lastRecord;
        m_leftovers = std::move(found.records);
    } else {
        // Unknown or damaged: begun anew. The first format's records are journaled again, each
        // whole as its own fields, so a crash before they are stored still keeps them.
        reset();
        for (MapValues& fields : found.records) {
            const QueuedRecord record(std::move(fields));
            const uint32_t sequence = write(record);
            if (sequence != 0) commit();
            if (sequence != 0) m_lastLeftover = sequence;
            m_leftovers.push_back(record.own);
        }
        // An earlier process's records are not this process's last logs.
        m_recent.forget();
    }
    if (!m_leftovers.empty()) {
        _warn_log("[journal] " + std::to_string(m_leftovers.size()) +
                  " records of an earlier process were not delivered; they are kept");
    }
}

void RecordJournal::putWrapWord(uint64_t at, uint64_t entryAt) {
    if (entryAt != at)
        storeWord(m_map + kHeaderBytes + at % kRingBytes, word(m_nextSequence, kWrapLength));
}

uint32_t RecordJournal::write(const QueuedRecord& record) {
    if (m_givenUp) {
        ++m_notJournaled;
        return 0;
    }
    EntryWriter::Shared* const shared = m_entries.sharedOf(record);
    // A fields entry from the keep position on is whole (the writer never passes keep). Once it
    // lies half a ring back it is written anew, so that the records using it let the keep
    // position follow done instead of holding the ring: one copy of the channel's fields per
    // half lap, not one per pass.
    const bool fieldsDue = shared != nullptr && !(shared->journaled && shared->at >= m_keepFrom &&
                                                  m_writeAt - shared->at <= kRingBytes / 2);
    const size_t fieldsBytes = fieldsDue ? padded(8 + EntryWriter::fieldsEntryBytes(*shared)) : 0;
    const size_t recordBytes = padded(8 + EntryWriter::recordEntryBytes(record));
    const uint64_t fieldsAt = fieldsDue ? placed(m_writeAt, fieldsBytes) : m_writeAt;
    const uint64_t recordAt = placed(fieldsAt + fieldsBytes, recordBytes);
    if (fieldsBytes > kMaxEntryBytes || recordBytes > kMaxEntryBytes ||
        recordAt + recordBytes - m_keepFrom > kRingBytes) {
        ++m_notJournaled;
        return 0;
    }
    unsigned char* const ring = m_map + kHeaderBytes;
    if (fieldsDue) {
        // Visible at once: a record the queue refuses leaves it for the next.
        putWrapWord(m_writeAt, fieldsAt);
        EntryWriter::writeFields(*shared, ring + fieldsAt % kRingBytes + 8);
        shared->journaled = true;
        shared->at = fieldsAt;
        shared->sequence = m_nextSequence;
        commitEntry(
            fieldsAt, fieldsAt + fieldsBytes,
            word(m_nextSequence, static_cast<uint32_t>(EntryWriter::fieldsEntryBytes(*shared))));
    }
    putWrapWord(m_writeAt, recordAt);
    const size_t length = EntryWriter::writeRecord(
        record, shared != nullptr ? shared->sequence : 0,
        shared != nullptr ? static_cast<uint32_t>(shared->at % kRingBytes) : 0,
        ring + recordAt % kRingBytes + 8);
    m_pendingAt = recordAt;
    m_pendingEnd = recordAt + padded(8 + length);
    m_pendingWord = word(m_nextSequence, static_cast<uint32_t>(length));
    return m_nextSequence;
}

void RecordJournal::commit() { commitEntry(m_pendingAt, m_pendingEnd, m_pendingWord); }

void RecordJournal::commitEntry(uint64_t at, uint64_t end, uint64_t entry) {
    storeWord(m_map + kHeaderBytes + at % kRingBytes, entry);
    m_writeAt = end;
    m_nextSequence = after(m_nextSequence);
    m_recent.committed(at, end);
}

void RecordJournal::markDone(uint32_t last) {
    uint64_t writeAt = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_givenUp) return;
        if (!stillMapped()) {
            m_givenUp = true;
            _warn_log(
                "[journal] log.journal was cut short from outside: records are no longer "
                "journaled until the next start");
            return;
        }
        markDoneLocked(last);
        writeAt = m_writeAt;
    }
    readyAhead(writeAt);
}

void RecordJournal::readyAhead(uint64_t writeAt) {
    // Each stretch once per lap: most passes find nothing new to ready and make no system call.
    const uint64_t from = std::max(writeAt, m_readyUntil);
    const uint64_t until = writeAt + kReadyAheadBytes;
    if (until < from + kReadyStepBytes) return;
    static const uintptr_t pageMask = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)) - 1;
    unsigned char* const ring = m_map + kHeaderBytes;
    auto ready = [](unsigned char* begin, unsigned char* end) {
        const uintptr_t first = reinterpret_cast<uintptr_t>(begin) & ~pageMask;
        madvise(reinterpret_cast<void*>(first), reinterpret_cast<uintptr_t>(end) - first,
                MADV_POPULATE_WRITE);
    };
    const size_t place = from % kRingBytes;
    const size_t bytes = static_cast<size_t>(until - from);
    const size_t straight = std::min(bytes, kRingBytes - place);
    ready(ring + place, ring + place + straight);
    if (straight < bytes) ready(ring, ring + (bytes - straight));
    m_readyUntil = until;
}

void RecordJournal::markDoneLocked(uint32_t last) {
    const unsigned char* const ring = m_map + kHeaderBytes;
    bool moved = false;
    while (m_doneAt < m_writeAt) {
        const size_t place = m_doneAt % kRingBytes;
        const uint64_t entry = loadWord(ring + place);
        if (lowOf(entry) == kWrapLength) {
            m_doneAt += kRingBytes - place;
            continue;
        }
        if (isAfter(highOf(entry), last)) break;
        m_doneAt += padded(8 + lowOf(entry));
        m_doneSequence = highOf(entry);
        moved = true;
    }
    if (!moved) return;
    storeWord(m_map + kDoneWordAt,
              word(m_doneSequence, static_cast<uint32_t>(m_doneAt % kRingBytes)));
    updateKeep();
}

void RecordJournal::updateKeep() {
    const unsigned char* const ring = m_map + kHeaderBytes;
    uint64_t keep = m_doneAt;
    for (uint64_t at = m_doneAt; at < m_writeAt;) {
        const size_t place = at % kRingBytes;
        const uint64_t entry = loadWord(ring + place);
        if (lowOf(entry) == kWrapLength) {
            at += kRingBytes - place;
            continue;
        }
        uint32_t fieldsSequence = 0;
        uint32_t fieldsOffset = 0;
        if (journalEntry::recordHead(ring + place + 8, lowOf(entry), fieldsSequence,
                                     fieldsOffset) &&
            fieldsSequence != 0) {
            keep = std::min(keep, at - (place + kRingBytes - fieldsOffset) % kRingBytes);
        }
        at += padded(8 + lowOf(entry));
    }
    if (keep == m_keepFrom) return;
    m_keepFrom = keep;
    const uint32_t sequence =
        keep == m_writeAt ? m_nextSequence : highOf(loadWord(ring + keep % kRingBytes));
    storeWord(m_map + kKeepWordAt, word(sequence, static_cast<uint32_t>(keep % kRingBytes)));
}

std::vector<MapValues> RecordJournal::takeLeftovers(uint32_t& last) {
    std::lock_guard lock(m_mutex);
    last = m_lastLeftover;
    std::vector<MapValues> leftovers;
    leftovers.swap(m_leftovers);
    return leftovers;
}

uint64_t RecordJournal::notJournaled() const {
    std::lock_guard lock(m_mutex);
    return m_notJournaled;
}
