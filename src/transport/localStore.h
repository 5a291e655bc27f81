// The records of one project directory that the collector did not take, kept on the device
// until a later start sends them again. It owns the files:
//   "log.txt"         records appended by this and earlier processes, one JSON object a line
//   "log.resend"      "log.txt" moved aside by a start that sends it again
//   "log.resend.pos"  how many bytes of "log.resend" the collector has answered for
// A record leaves the store only once the collector answered for the batch that carried it, so
// a kill at any moment loses nothing (a batch in flight at the kill is sent twice).
// Other processes of the app may share the directory: every operation on the files holds the
// directory's store lock (storeLock.h) for its file work and gives up when it cannot have it
// within FileLock::kStoreWait. Within a process it is not thread-safe by itself: RecordStore
// serialises every use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "transport/storeHealth.h"

class LocalStore {
public:
    // Most bytes the project's store may hold: "log.txt" and what is left to send of
    // "log.resend" together. Appends beyond it drop the oldest records first (a re-send's before
    // those of "log.txt"), and so does a start that takes over larger files.
    static constexpr uint64_t kMaxStoreBytes = 16 * 1024 * 1024;
    // The one line that says how many of the oldest records the bound dropped (none: nothing).
    static void logByteCapDrop(size_t records);
    // A batch of a re-send takes lines until they exceed this many bytes, as a pass does.
    static constexpr size_t kMaxBatchBytes = 2097152;

    LocalStore(std::string directory, StoreHealth& health);
    // A batch still in flight is left in "log.resend" for the next start.
    ~LocalStore();
    LocalStore(const LocalStore&) = delete;
    LocalStore& operator=(const LocalStore&) = delete;

    enum class Appended { Written, NotWritten, Busy };
    // Appends each line (a JSON object, without line end). NotWritten when the file could not
    // be written (the condition is logged once until a write succeeds again); Busy when another
    // process kept the store lock, nothing written.
    Appended append(const std::vector<std::string>& lines);

    // Takes over what earlier starts stored: an interrupted re-send first, else "log.txt" moved
    // aside (records stored meanwhile then wait for the next start). False when there is none
    // or the store is busy. The caller owns the re-send (takeResendLock).
    bool claim();
    // The next lines of the claimed file that hold a JSON object, at most kMaxBatchBytes (a
    // longer single line goes alone); false when the claimed file is done or the store is busy
    // (the rest stays for a later start).
    bool nextBatch(std::vector<std::string>& lines);
    // The lines of the last batch were answered for: they leave the store. False when the store
    // was busy: the batch stays, and a later start sends it again.
    bool confirmBatch();

    // The bytes "log.txt" and what is left of "log.resend" hold, a batch in flight included;
    // from any thread.
    uint64_t keptBytes() const;

    // Paths, for log lines and tests.
    std::string appendPath() const;
    std::string resendPath() const;

private:
    Appended appendLocked(const std::vector<std::string>& lines);
    uint64_t readPosition() const;
    bool writePosition(uint64_t position) const;
    void finishResend() const;
    // The bytes of "log.resend" not yet answered for and not in flight.
    uint64_t unsentResendBytes() const;
    uint64_t inFlightEnd() const;
    // Drops the oldest lines of "log.txt" so that `incoming` more bytes fit under the bound.
    void makeRoom(uint64_t currentSize, uint64_t incoming) const;
    // Drops at least `bytes` of the re-send's oldest lines not in flight.
    void dropResendLines(uint64_t bytes) const;
    // Skips the oldest lines of the claimed file beyond the bound; returns the new position.
    uint64_t skipBeyondBound(uint64_t position) const;

    std::string m_directory;
    StoreHealth& m_health;
    uint64_t m_position = 0;
    uint64_t m_batchEnd = 0;
    // This store's batch is the one in flight for its directory.
    bool m_inFlight = false;
};
