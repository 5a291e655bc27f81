#include "transport/journalFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "transport/journalRing.h"
#include "util/boundedFile.h"
#include "util/uniqueFile.h"
#include "util/utilLog.h"

using journalRing::kFileBytes;

namespace journalFile {
namespace {

// Reserves the file's blocks: a store into a mapped hole on a full disk would kill the
// process with SIGBUS instead of failing.
bool sizeFile(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return false;
    const uint64_t allocated = static_cast<uint64_t>(status.st_blocks) * 512;
    if (static_cast<size_t>(status.st_size) == kFileBytes && allocated >= kFileBytes) {
        return true;
    }
    return posix_fallocate(fd, 0, kFileBytes) == 0;
}

}  // namespace

std::string name(size_t index) {
    const std::string first = "/log.journal";
    return index == 0 ? first : first + "." + std::to_string(index);
}

Taken take(const std::string& directory, size_t index, bool create, Mapped& mapped) {
    const std::string path = directory + name(index);
    struct stat status {};
    FileDescriptor fd(boundedFile::openRegular(path, create ? O_RDWR | O_CREAT : O_RDWR, &status));
    if (!fd) {
        if (create) {
            _warn_log("[journal] cannot open " + path + ": " + boundedFile::errorText(errno));
        }
        return Taken::Failed;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return Taken::Busy;
        _warn_log("[journal] cannot lock " + path);
        return Taken::Failed;
    }
    // Another process's leftovers are read as they lie: a file of another size holds none.
    if (!create && static_cast<size_t>(status.st_size) != kFileBytes) return Taken::Failed;
    if (create && index > 0) {
        _info_log("[journal] log.journal is held by another process, journaling into " + path);
    }
    if (!sizeFile(fd.get())) {
        _warn_log("[journal] no room for " + path);
        return Taken::Failed;
    }
    // Populated now, so that no sendLog meets a page fault that reads the disk.
    void* map =
        mmap(nullptr, kFileBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd.get(), 0);
    if (map == MAP_FAILED) {
        _warn_log("[journal] cannot map " + path);
        return Taken::Failed;
    }
    // A file truncated from outside must not take the application down: its faults are ours.
    journalFaults::Slot* slot = journalFaults::watch(map, kFileBytes);
    if (slot == nullptr) {
        _warn_log("[journal] too many journals open, records not journaled: " + path);
        munmap(map, kFileBytes);
        return Taken::Failed;
    }
    mapped.fd = fd.release();
    mapped.map = static_cast<unsigned char*>(map);
    mapped.slot = slot;
    return Taken::Mapped;
}

}  // namespace journalFile
