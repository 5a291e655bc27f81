#include "util/boundedFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util/uniqueFile.h"

namespace boundedFile {
namespace {

// Reads until end of file or `limit` bytes; `whole` fails when more would follow.
bool readFrom(int fd, size_t limit, bool whole, std::string& text) {
    text.clear();
    char chunk[4096];
    for (;;) {
        const size_t room = limit - text.size();
        // One byte beyond the limit tells a file that grew since fstat.
        const size_t want = whole ? sizeof chunk : std::min(sizeof chunk, room);
        if (want == 0) return true;
        const ssize_t got = ::read(fd, chunk, want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        if (static_cast<size_t>(got) > room) {
            errno = EFBIG;
            return false;
        }
        text.append(chunk, static_cast<size_t>(got));
    }
}

}  // namespace

int openRegular(int folder, const char* name, int flags, struct stat* info) {
    FileDescriptor fd(
        ::openat(folder, name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
    if (!fd) return -1;
    struct stat status;
    if (::fstat(fd.get(), &status) != 0) return -1;
    if (!S_ISREG(status.st_mode)) {
        errno = kNotRegular;
        return -1;
    }
    if (info != nullptr) *info = status;
    return fd.release();
}

bool readWhole(int folder, const char* name, size_t limit, std::string& text) {
    const FileDescriptor fd(openRegular(folder, name, O_RDONLY));
    return fd && readOpened(fd.get(), limit, text);
}

bool readOpened(int fd, size_t limit, std::string& text) {
    struct stat info;
    if (::fstat(fd, &info) != 0) return false;
    if (info.st_size < 0 || static_cast<unsigned long long>(info.st_size) > limit) {
        errno = EFBIG;
        return false;
    }
    text.reserve(static_cast<size_t>(info.st_size));
    return readFrom(fd, limit, true, text);
}

bool readStart(const std::string& path, size_t limit, std::string& text) {
    const FileDescriptor fd(openRegular(path, O_RDONLY));
    return fd && readFrom(fd.get(), limit, false, text);
}

bool writeWhole(const std::string& path, const std::string& text) {
    FileDescriptor fd(openRegular(path, O_WRONLY | O_CREAT | O_TRUNC));
    if (!fd) return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t put = ::write(fd.get(), text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return ::close(fd.release()) == 0;
}

std::string errorText(int error) {
    if (error == kNotRegular) return "not a regular file";
    return std::strerror(error);
}

}  // namespace boundedFile
