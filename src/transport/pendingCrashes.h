// Crashes that wait in a project's dump directory for delivery: each is Breakpad's minidump
// "<id>.dmp" and, beside it, the record the crashed process wrote from its signal path,
// "<id>.rec" (the record's compact JSON object, a line end and the crash time in milliseconds
// since the epoch). The record is written under "<id>.rec.tmp" and renamed, so a record file
// that exists is complete; the crashed process holds a write lock (fcntl) on it until it dies
// or has finished its own report, so a next start that overlaps it leaves it alone. A process
// that sends a kept crash holds the same kind of lock on it for the whole send (CrashLock), so
// of the processes of an app that start at once on one folder, one sends each crash.
//
// A crash stays until the collector accepts it, within these bounds per project: the oldest
// go first, each with a log line.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "transport/lastLogs.h"
#include "util/uniqueFile.h"

namespace pendingCrashes {

// A handful of crashes is enough to see what a release breaks; more would only grow the
// first request after an update that crashes at every start.
constexpr size_t kMaxDumps = 5;
// Three dumps at the size limit, or five of the usual few hundred KiB; a phone's storage is
// not ours to fill.
constexpr uint64_t kMaxBytes = 24ull * 1024 * 1024;
// Largest record object the signal path writes (PreparedCrash's buffer), and the largest record
// file read back: that object, the "LastLogs" member it adds, its line end and the crash time. A
// larger file is not one the library wrote; it counts as no record.
constexpr size_t kMaxRecordObjectBytes = 64 * 1024;
constexpr size_t kMaxRecordBytes = kMaxRecordObjectBytes + lastLogs::kCapacity + 64;
// Largest dump that is sent, in bytes; a larger one is dropped.
constexpr long kMaxDumpBytes = 0x800000;
// Next starts that try one crash before it is dropped: a collector that refuses it every
// time must not keep it for ever.
constexpr int kMaxAttempts = 5;
// A dump without a record is taken for one whose process died before writing the record only
// at this age: younger, its process may still be writing it. Above the crash watchdog's bound.
constexpr std::chrono::seconds kOrphanAge{10};

constexpr const char* kDumpSuffix = ".dmp";
constexpr const char* kRecordSuffix = ".rec";
constexpr const char* kRecordTempSuffix = ".rec.tmp";
constexpr const char* kAttemptsSuffix = ".tries";

struct Crash {
    std::string dumpPath;
    // "" when the crashed process wrote none.
    std::string recordPath;
    uint64_t dumpBytes = 0;
    // Last change of the dump, nanoseconds since the epoch.
    int64_t modifiedNs = 0;
};

// The crashes of `directory` that may be sent now, oldest first. On the way it deletes, each
// with a log line: dumps that are empty, over kMaxDumpBytes or unreadable; the oldest beyond
// kMaxDumps and kMaxBytes; records and temporary records left without a dump. It skips, for a
// later start: dumps written since `startedNs` (this process's own, or one that overlaps it),
// crashes another process holds (its crashed process, or one sending it), and young dumps
// without a record.
std::vector<Crash> collect(const std::string& directory, int64_t startedNs, int64_t nowNs);

// Deletes the dump, its record and its attempt count.
void discard(const Crash& crash);

// Counts one more failed delivery; true when the crash has had its kMaxAttempts and was
// dropped (with a log line).
bool countFailedAttempt(const Crash& crash);

// A crash held for its send: a write lock (fcntl, F_SETLK) on its record, or on its dump when it
// has none, and the files' descriptors. fcntl locks belong to the process and end when any of
// its descriptors of the file closes, so the files are read through these, and deleted or
// counted while the lock is held.
class CrashLock {
public:
    // Not held when another process holds the crash or its files went meanwhile (the process
    // that held them sent it).
    explicit CrashLock(const Crash& crash);
    CrashLock(const CrashLock&) = delete;
    CrashLock& operator=(const CrashLock&) = delete;
    bool held() const { return m_held; }
    int dumpFd() const { return m_dump.get(); }
    // -1 without a record.
    int recordFd() const { return m_record.get(); }

private:
    FileDescriptor m_dump;
    FileDescriptor m_record;
    bool m_held = false;
};

// The record's JSON object text and crash time (0 when it has none); false when the record
// cannot be read, is empty or over kMaxRecordBytes.
bool readRecord(int recordFd, std::string& objectText, long long& crashTimeMs);

// The start of this process's own crashes as collect() wants it: the time of the first call,
// which the first channel registration makes (a process forked before it has none of ours).
int64_t processStartNs();
int64_t wallClockNowNs();

}  // namespace pendingCrashes
