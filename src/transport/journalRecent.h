// Where a journal's last committed entries start, for a crash's signal handler, which reads them
// while other threads go on writing: lock-free and allocation-free, and only entries no write in
// progress can reach.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

class JournalRecent {
public:
    // One committed entry in the ring: its list of fields (journalEntry.h) and its start
    // position.
    struct EntryView {
        const unsigned char* fields = nullptr;
        size_t length = 0;
        uint64_t at = 0;
    };
    // How many of the last committed entries entries() can reach.
    static constexpr size_t kEntries = 256;

    explicit JournalRecent(const unsigned char* ring) : m_ring(ring) {}

    // By the journal's writer, under its lock: the entry at `at` was committed and the
    // committed part of the ring ends at `end`.
    void committed(uint64_t at, uint64_t end);
    // The entries committed so far are not this process's (an earlier one's, journaled again).
    void forget();
    void setEnd(uint64_t end);

    // The record entries committed last, newest first, at most `capacity`.
    size_t entries(EntryView* views, size_t capacity) const;
    // The sequence number of the fields entry a record entry of entries() uses; 0 none.
    static uint32_t fieldsSequenceOf(const EntryView& record);
    // That fields entry, as a view of its list; false when it uses none or a writer may have
    // replaced it.
    bool sharedFieldsOf(const EntryView& record, EntryView& fields) const;
    // False once the entry may have been overwritten since it was read.
    bool stillHolds(const EntryView& view) const;

private:
    const unsigned char* const m_ring;
    // By commit count modulo their number.
    std::array<std::atomic<uint64_t>, kEntries> m_starts{};
    std::atomic<uint64_t> m_count{0};
    std::atomic<uint64_t> m_committedEnd{0};
};
