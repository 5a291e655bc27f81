#include "transport/storeLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <thread>

#include "transport/exchangeDeadline.h"
#include "util/boundedFile.h"
#include "util/utilLog.h"

namespace {

const char* const kStoreLockName = "/log.lock";
const char* const kResendLockName = "/log.resend.lock";
// Short against the holder's file operation, long enough not to spin.
constexpr std::chrono::milliseconds kRetry{5};

}  // namespace

FileLock::~FileLock() {
    if (m_fd >= 0) ::close(m_fd);
}

FileLock::FileLock(FileLock&& other) noexcept
    : m_fd(other.m_fd), m_unavailable(other.m_unavailable) {
    other.m_fd = -1;
}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = other.m_fd;
        m_unavailable = other.m_unavailable;
        other.m_fd = -1;
    }
    return *this;
}

FileLock FileLock::take(const std::string& path, std::chrono::milliseconds wait) {
    const int fd = boundedFile::openRegular(path, O_RDWR | O_CREAT);
    if (fd < 0) {
        FileLock none;
        none.m_unavailable = errno != 0 ? errno : EINVAL;
        return none;
    }
    FileLock lock(fd);
    // The shutdown's cut-off bounds the wait too: destroy must not wait out another process.
    const ExchangeDeadline deadline(wait);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return lock;
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        if (deadline.passed()) break;
        std::this_thread::sleep_for(kRetry);
    }
    return FileLock();
}

namespace {

FileLock takeTold(const std::string& path, std::chrono::milliseconds wait, StoreHealth& health) {
    FileLock lock = FileLock::take(path, wait);
    if (lock.unavailable() != 0) health.unguarded(path, lock.unavailable());
    return lock;
}

}  // namespace

FileLock takeStoreLock(const std::string& directory, StoreHealth& health) {
    FileLock lock = takeTold(directory + kStoreLockName, FileLock::kStoreWait, health);
    if (!lock.mayProceed()) _warn_log("[store] " + directory + " is busy in another process");
    return lock;
}

FileLock takeResendLock(const std::string& directory, StoreHealth& health) {
    return takeTold(directory + kResendLockName, std::chrono::milliseconds(0), health);
}
