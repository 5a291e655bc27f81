// Reading back what an earlier process left in a journal file: the records it journaled and
// never marked done, each rebuilt from its own fields over the channel's fields entry it used,
// so that it is the record it was when queued. The file may be hostile: every read is checked
// against the ring, and the walk stops at the first entry that does not follow on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "util/vesk2Utils.h"

namespace journalRecovery {

enum class Format { Unknown, Current, Merged };

struct Found {
    Format format = Format::Unknown;
    std::vector<MapValues> records;
    // The sequence number of the last record found.
    uint32_t lastRecord = 0;
    // Records whose fields entry was not in the ring, left out.
    size_t unresolved = 0;
    // The ring as the walk left it (Current only): positions counted from the ring's start.
    uint32_t doneSequence = 0;
    uint64_t keepFrom = 0;
    uint64_t doneAt = 0;
    uint64_t writeAt = 0;
    uint32_t nextSequence = 1;
};

// Reads the whole file's mapping (header and ring); read-only.
Found read(const unsigned char* map);

}  // namespace journalRecovery
