// The bytes of journal entries. A list of fields is their count and then, for each, the sizes
// of its key and value (32 bits each, host order) and their bytes, in key order. An entry's body
// starts with its kind:
// - a fields entry: kind, then a channel's shared fields as a list;
// - a record entry: kind, the sequence number and ring offset of the fields entry it uses (0 and
//   0 when it uses none), then the record's own fields as a list, which replace the shared ones
//   of the same key.
// A channel's fields are journaled once per change of them, not once per record, so a channel
// with large custom fields costs each record only its own few fields.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "util/vesk2Utils.h"

namespace journalEntry {

inline constexpr uint32_t kRecordKind = 1;
inline constexpr uint32_t kFieldsKind = 2;
inline constexpr size_t kRecordHeadBytes = 12;
inline constexpr size_t kFieldsHeadBytes = 4;

// What one entry's body holds.
struct Parsed {
    uint32_t kind = 0;
    uint32_t fieldsSequence = 0;
    uint32_t fieldsOffset = 0;
    MapValues fields;
};
// False when the bytes do not hold one whole entry body.
bool parse(const unsigned char* at, size_t length, Parsed& entry);
// A plain list of fields (the whole body of an entry of the first format, "QMJRNL01"); false
// when the bytes do not hold one whole list.
bool readList(const unsigned char* at, size_t length, MapValues& fields);

// Allocation-free, for the signal path: where a record entry's own list starts and what fields
// entry it uses; false when the body is not a record entry.
bool recordHead(const unsigned char* at, size_t length, uint32_t& fieldsSequence,
                uint32_t& fieldsOffset);

}  // namespace journalEntry

// Writes entries, keeping the shared fields of the last two channels encoded (by the identity
// of their immutable map) and where the journal last wrote each, so that a record of an
// unchanged channel costs a copy of its own fields only.
class EntryWriter {
public:
    struct Shared {
        std::shared_ptr<const MapValues> of;
        // The list, as a fields entry holds it after its kind.
        std::string list;
        // Where the journal committed it last (a ring position), and its sequence number.
        bool journaled = false;
        uint64_t at = 0;
        uint32_t sequence = 0;
    };
    // The record's shared fields, encoded; null when it has none.
    Shared* sharedOf(const QueuedRecord& record);
    static size_t fieldsEntryBytes(const Shared& shared) {
        return journalEntry::kFieldsHeadBytes + shared.list.size();
    }
    static void writeFields(const Shared& shared, unsigned char* start);
    static size_t recordEntryBytes(const QueuedRecord& record);
    // Writes the record's entry at start (recordEntryBytes(record) bytes) and returns its length.
    static size_t writeRecord(const QueuedRecord& record, uint32_t fieldsSequence,
                              uint32_t fieldsOffset, unsigned char* start);

private:
    // Two: the channels of one directory share a journal.
    std::array<Shared, 2> m_shared;
    size_t m_replaceNext = 0;
};
