// The records a channel logged just before a crash, for its crash record: taken from the
// journal, which already holds every record sendLog accepted, so the crash costs no copy of
// them ahead of time. Written as a JSON array, oldest first, of {"body","logLevel","sendTime"}
// objects, bounded by kMaxRecords and kMaxTextBytes of their bodies.
//
// write() runs in the signal handler: it reads the journal without its lock, allocates nothing
// and only loops over the buffers it is handed.
#pragma once

#include <cstddef>

#include "transport/recordJournal.h"

namespace lastLogs {

constexpr size_t kMaxRecords = 64;
// Of the bodies' bytes; the body that crosses it is cut on a character boundary.
constexpr size_t kMaxTextBytes = 16 * 1024;
// A record whose time or level is longer is not the library's and is left out.
constexpr size_t kMaxShortField = 32;
// Room for the longest list: every byte of text escaped as \u00XX.
constexpr size_t kCapacity = 2 + kMaxRecords * (48 + 2 * 6 * kMaxShortField) + 6 * kMaxTextBytes;

struct Picked {
    const unsigned char* body = nullptr;
    size_t bodyBytes = 0;
    const unsigned char* level = nullptr;
    size_t levelBytes = 0;
    const unsigned char* time = nullptr;
    size_t timeBytes = 0;
};

// What write() works in; too large for a signal stack, so the caller keeps it.
struct Workspace {
    RecordJournal::EntryView views[RecordJournal::kRecentEntries];
    Picked picked[kMaxRecords];
};

// The list of the records of `channel` (its "handlerName") in journal, session records left
// out, into out (kCapacity bytes); returns its length. "[]" without a journal or records.
size_t write(const RecordJournal* journal, const char* channel, Workspace& work, char* out);

}  // namespace lastLogs
