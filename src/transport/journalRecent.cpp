#include "transport/journalRecent.h"

#include <atomic>
#include <cstring>

#include "transport/journalEntry.h"
#include "transport/journalRing.h"

using namespace journalRing;

void JournalRecent::committed(uint64_t at, uint64_t end) {
    const uint64_t count = m_count.load(std::memory_order_relaxed);
    m_starts[count % kEntries].store(at, std::memory_order_relaxed);
    m_committedEnd.store(end, std::memory_order_release);
    m_count.store(count + 1, std::memory_order_release);
}

void JournalRecent::forget() { m_count.store(0, std::memory_order_relaxed); }

void JournalRecent::setEnd(uint64_t end) { m_committedEnd.store(end, std::memory_order_release); }

// The crash path reads these from a signal handler, where only lock-free atomics are safe.
static_assert(std::atomic<uint64_t>::is_always_lock_free);

namespace {

// A write in progress starts at the committed end, after a wrap of at most one entry, and
// covers at most one entry: an entry that starts at least that far into the last lap of the
// ring cannot be under it.
bool beyondWriterReach(uint64_t entryAt, uint64_t committedEnd) {
    return entryAt + kRingBytes >= committedEnd + 2 * kMaxEntryBytes;
}

}  // namespace

size_t JournalRecent::entries(EntryView* views, size_t capacity) const {
    const uint64_t count = m_count.load(std::memory_order_acquire);
    const uint64_t committedEnd = m_committedEnd.load(std::memory_order_acquire);
    const unsigned char* const ring = m_ring;
    // Each older entry ends where the next one starts or before: anything else was replaced
    // by a writer meanwhile, and the walk stops there.
    uint64_t nextAt = committedEnd;
    size_t taken = 0;
    for (uint64_t back = 1; back <= count && back <= kEntries && taken < capacity; ++back) {
        const uint64_t at = m_starts[(count - back) % kEntries].load(std::memory_order_relaxed);
        if (at >= nextAt || !beyondWriterReach(at, committedEnd)) break;
        const size_t place = at % kRingBytes;
        const uint32_t length = lowOf(loadWord(ring + place));
        if (length == kWrapLength || length > kMaxEntryBytes || length > kRingBytes - place - 8 ||
            at + padded(8 + length) > nextAt) {
            break;
        }
        nextAt = at;
        uint32_t fieldsSequence = 0;
        uint32_t fieldsOffset = 0;
        const unsigned char* const body = ring + place + 8;
        if (!journalEntry::recordHead(body, length, fieldsSequence, fieldsOffset)) continue;
        views[taken++] = EntryView{body + journalEntry::kRecordHeadBytes,
                                   length - journalEntry::kRecordHeadBytes, at};
    }
    return taken;
}

uint32_t JournalRecent::fieldsSequenceOf(const EntryView& record) {
    uint32_t sequence = 0;
    memcpy(&sequence, record.fields - 8, sizeof sequence);
    return sequence;
}

bool JournalRecent::sharedFieldsOf(const EntryView& record, EntryView& fields) const {
    // The record's head, just before its list: kind, fields sequence, fields offset.
    const uint32_t fieldsSequence = fieldsSequenceOf(record);
    uint32_t fieldsOffset = 0;
    memcpy(&fieldsOffset, record.fields - 4, sizeof fieldsOffset);
    if (fieldsSequence == 0 || fieldsOffset >= kRingBytes) return false;
    const uint64_t back = (record.at % kRingBytes + kRingBytes - fieldsOffset) % kRingBytes;
    if (back == 0 || back > record.at) return false;
    const uint64_t at = record.at - back;
    if (!beyondWriterReach(at, m_committedEnd.load(std::memory_order_acquire))) return false;
    const unsigned char* const entry = m_ring + fieldsOffset;
    const uint64_t head = loadWord(entry);
    const uint32_t length = lowOf(head);
    uint32_t kind = 0;
    if (highOf(head) != fieldsSequence || length < journalEntry::kFieldsHeadBytes ||
        length > kRingBytes - fieldsOffset - 8) {
        return false;
    }
    memcpy(&kind, entry + 8, sizeof kind);
    if (kind != journalEntry::kFieldsKind) return false;
    fields = EntryView{entry + 8 + journalEntry::kFieldsHeadBytes,
                       length - journalEntry::kFieldsHeadBytes, at};
    return true;
}

bool JournalRecent::stillHolds(const EntryView& view) const {
    return beyondWriterReach(view.at, m_committedEnd.load(std::memory_order_acquire));
}
