#include "transport/journalRecovery.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "transport/journalEntry.h"
#include "transport/journalRing.h"

using namespace journalRing;

namespace journalRecovery {

namespace {

bool validOffset(uint32_t offset) { return offset < kRingBytes && offset % 8 == 0; }

// Calls take(sequence, body, length, at) for each entry from `start` on whose sequence numbers
// follow on from `first`, while it returns true; returns where the walk ended and the sequence
// number an entry there would have.
template <typename Take>
std::pair<uint64_t, uint32_t> walk(const unsigned char* ring, uint64_t start, uint32_t first,
                                   Take&& take) {
    uint64_t at = start;
    uint64_t end = start;
    uint32_t expected = first;
    while (at - start < kRingBytes) {
        const size_t place = at % kRingBytes;
        const uint64_t entry = loadWord(ring + place);
        const uint32_t length = lowOf(entry);
        if (length == kWrapLength) {
            at += kRingBytes - place;
            continue;
        }
        if (highOf(entry) != expected || length > kRingBytes - place - 8) break;
        if (!take(expected, ring + place + 8, length, at)) break;
        expected = after(expected);
        at += padded(8 + length);
        end = at;
    }
    return {end, expected};
}

Found readMerged(const unsigned char* ring, uint64_t done) {
    Found found;
    found.format = Format::Merged;
    walk(ring, lowOf(done), after(highOf(done)),
         [&](uint32_t sequence, const unsigned char* body, uint32_t length, uint64_t) {
             MapValues record;
             if (!journalEntry::readList(body, length, record)) return false;
             found.records.push_back(std::move(record));
             found.lastRecord = sequence;
             return true;
         });
    return found;
}

}  // namespace

Found read(const unsigned char* map) {
    const unsigned char* const ring = map + kHeaderBytes;
    const uint64_t done = loadWord(map + kDoneWordAt);
    if (!validOffset(lowOf(done))) return Found();
    if (memcmp(map, kMagicMerged, sizeof kMagicMerged) == 0) return readMerged(ring, done);
    const uint64_t keep = loadWord(map + kKeepWordAt);
    // The writer never names sequence 0 there: such a word is damage, and a ring resumed from
    // it would number its next entry 0, which the walk after a restart takes for none.
    // Keep names the oldest entry an undone record uses: at most a ring's worth of entries
    // before the first undone one. Numbers further apart would make every later entry count as
    // done (isAfter compares within half the number range).
    if (memcmp(map, kMagic, sizeof kMagic) != 0 || !validOffset(lowOf(keep)) || highOf(keep) == 0 ||
        after(highOf(done)) - highOf(keep) > kRingBytes / 8) {
        return Found();
    }
    Found found;
    found.format = Format::Current;
    found.doneSequence = highOf(done);
    found.keepFrom = lowOf(keep);
    bool doneFound = false;
    // The fields entries met so far, in walk order, so by sequence number counted from the
    // first: a record uses one written before it.
    const uint32_t first = highOf(keep);
    std::vector<std::pair<uint32_t, MapValues>> shared;
    auto sharedOf = [&](uint32_t sequence) -> const MapValues* {
        const auto used = std::lower_bound(
            shared.begin(), shared.end(), sequence - first,
            [first](const auto& known, uint32_t from) { return known.first - first < from; });
        return used != shared.end() && used->first == sequence ? &used->second : nullptr;
    };
    const auto [end, next] =
        walk(ring, found.keepFrom, first,
             [&](uint32_t sequence, const unsigned char* body, uint32_t length, uint64_t at) {
                 journalEntry::Parsed entry;
                 if (!journalEntry::parse(body, length, entry)) return false;
                 const bool undone = isAfter(sequence, found.doneSequence);
                 if (undone && !doneFound) {
                     found.doneAt = at;
                     doneFound = true;
                 }
                 if (entry.kind == journalEntry::kFieldsKind) {
                     shared.emplace_back(sequence, std::move(entry.fields));
                     return true;
                 }
                 if (!undone) return true;
                 MapValues record;
                 if (entry.fieldsSequence != 0) {
                     const MapValues* const used = sharedOf(entry.fieldsSequence);
                     if (used == nullptr) {
                         ++found.unresolved;
                         return true;
                     }
                     record = *used;
                 }
                 for (auto& [key, value] : entry.fields) record[key] = std::move(value);
                 found.records.push_back(std::move(record));
                 found.lastRecord = sequence;
                 return true;
             });
    // Entries the done word counts as dealt with must all be there: a ring that ends before them
    // would number its next entries as done ones, and they would not come back after a crash.
    if (!isAfter(next, found.doneSequence)) return Found();
    found.writeAt = end;
    found.nextSequence = next;
    if (!doneFound) found.doneAt = end;
    return found;
}

}  // namespace journalRecovery
