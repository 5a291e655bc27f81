// Locks between the processes of one app that share a storage folder (an app's ":service"
// process runs on the same files): `flock` on a lock file of the project directory. A lock file
// is made when missing, never through a link, and only a regular file is locked. flock locks
// belong to the open file, so a process that dies lets go of them at once.
#pragma once

#include <chrono>
#include <string>

#include "transport/storeHealth.h"

class FileLock {
public:
    // How long a store operation waits for the other process's. It holds the lock only for a
    // file operation, never across an exchange, so a longer wait means it is stopped or stuck.
    static constexpr std::chrono::milliseconds kStoreWait{1000};

    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // An exclusive lock on `path`, tried until `wait` passed or the shutdown's cut-off came,
    // whichever is first; a wait of 0 (or a cut-off already passed) tries once. Not held when
    // another process kept it or the file cannot be made.
    static FileLock take(const std::string& path, std::chrono::milliseconds wait);
    bool held() const { return m_fd >= 0; }
    // Whether the operation it guards may go on: held, or no lock file can be had at all (a
    // directory or a link in its place), where waiting would only keep the records from the
    // store for ever; the processes then work unguarded, as before there was a lock.
    bool mayProceed() const { return held() || m_unavailable != 0; }
    // Why no lock file could be had (its errno), 0 when one could.
    int unavailable() const { return m_unavailable; }

private:
    explicit FileLock(int fd) : m_fd(fd) {}
    int m_fd = -1;
    int m_unavailable = 0;
};

// The lock over a project's store files ("log.txt", "log.resend", "log.resend.pos"), taken
// for each operation that reads, changes or replaces them. A lock file that cannot be had is
// told to health.
FileLock takeStoreLock(const std::string& directory, StoreHealth& health);
// Owned for the whole re-send of a project's stored records: one process sends them, the
// others leave them to it. Tried once.
FileLock takeResendLock(const std::string& directory, StoreHealth& health);
