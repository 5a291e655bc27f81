// The bytes of one journal entry: a record's fields, merged (its own over its channel's) in
// key order, as the count of fields and then, for each, the sizes of its key and value (32 bits
// each, host order) and their bytes.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/vesk2Utils.h"

// Writes entries. The records of a channel share its fields until they change, so the writer
// encodes those once and copies them into each entry in a few runs, instead of walking their
// map (some twenty nodes, cold in the first call after a pause) for every entry.
class EntryWriter {
public:
    EntryWriter();
    // The entry's size when no own field of the record replaces a field of its channel, as is
    // the rule; never less than its size.
    size_t sizeBound(const QueuedRecord& record);
    // Writes the entry at `start`, which has sizeBound(record) bytes, and returns its length.
    size_t write(const QueuedRecord& record, unsigned char* start);

    // Reads an entry back; false when the bytes do not hold a whole record.
    static bool read(const unsigned char* at, size_t length, MapValues& record);

private:
    // A channel's fields as they appear in an entry, and where each starts (one past the end
    // last).
    struct Encoded {
        std::shared_ptr<const MapValues> of;
        std::string bytes;
        std::vector<size_t> starts;
    };
    const Encoded& encodedShared(const QueuedRecord& record);
    static std::string_view keyAt(const Encoded& encoded, size_t field);

    // Two: the channels of one directory share a journal.
    std::array<Encoded, 2> m_encoded;
    size_t m_replaceNext = 0;
    Encoded m_none;  // for records without channel fields
};
