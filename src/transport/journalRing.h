// The layout of "log.journal" and the words its ring is made of, shared by the journal's writer
// and its reader of what an earlier process left.
#pragma once

#include <cstddef>
#include <cstdint>

namespace journalRing {

// Size of the ring, after the header page.
inline constexpr size_t kRingBytes = 2 * 1024 * 1024;
inline constexpr char kMagic[8] = {'Q', 'M', 'J', 'R', 'N', 'L', '0', '2'};
// The first format, whose entries each held a record's fields merged: still read back.
inline constexpr char kMagicMerged[8] = {'Q', 'M', 'J', 'R', 'N', 'L', '0', '1'};
inline constexpr size_t kHeaderBytes = 4096;
// (sequence number of the last entry dealt with, offset of the entry after it)
inline constexpr size_t kDoneWordAt = 8;
// (sequence number, offset) of the first entry a reader starts at: the done one's, or that of an
// older fields entry an undone record still uses. Not in the first format.
inline constexpr size_t kKeepWordAt = 16;
inline constexpr size_t kFileBytes = kHeaderBytes + kRingBytes;
inline constexpr uint32_t kWrapLength = 0xFFFFFFFFu;
// A record larger than this is not journaled: it would hold most of the ring alone.
inline constexpr size_t kMaxEntryBytes = kRingBytes / 4;

inline uint64_t word(uint32_t high, uint32_t low) {
    return (static_cast<uint64_t>(high) << 32) | low;
}
inline uint32_t highOf(uint64_t value) { return static_cast<uint32_t>(value >> 32); }
inline uint32_t lowOf(uint64_t value) { return static_cast<uint32_t>(value); }
inline size_t padded(size_t bytes) { return (bytes + 7) & ~static_cast<size_t>(7); }
// Where an entry of `bytes` bytes written at position `at` goes: there, or at the ring's start
// (after a wrap word) when it would not fit before the ring's end.
inline uint64_t placed(uint64_t at, size_t bytes) {
    const size_t place = at % kRingBytes;
    return place + bytes > kRingBytes ? at + (kRingBytes - place) : at;
}
// Sequence numbers wrap and skip 0, which means "none".
inline uint32_t after(uint32_t sequence) { return sequence == 0xFFFFFFFFu ? 1 : sequence + 1; }
// True when a comes after b, across a wrap of the numbers.
inline bool isAfter(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

inline uint64_t loadWord(const unsigned char* at) {
    return __atomic_load_n(reinterpret_cast<const uint64_t*>(at), __ATOMIC_ACQUIRE);
}

inline void storeWord(unsigned char* at, uint64_t value) {
    __atomic_store_n(reinterpret_cast<uint64_t*>(at), value, __ATOMIC_RELEASE);
}

}  // namespace journalRing
