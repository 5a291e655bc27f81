// Opening and reading the files the library keeps in the app's folders. Anything in the place of
// one of them may have been put there by someone else: a link is not followed (a file of the
// app's choosing must not leave the device, nor be overwritten), a FIFO or a device is refused
// without waiting for a writer, and no read takes more than its caller's bound.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <string>

namespace boundedFile {

// errno for a path that exists but is not a regular file (a FIFO, a device, a socket).
constexpr int kNotRegular = ENODEV;

// Opens `name` (relative to the folder descriptor, or AT_FDCWD) with `flags` (O_RDONLY, O_RDWR,
// O_WRONLY, O_APPEND, O_CREAT, O_TRUNC; mode 0600 when created) only if it is a regular file
// and not a link. -1 otherwise, with errno: ELOOP for a link, kNotRegular for anything else that
// is not a regular file. `info` receives the file's status.
int openRegular(int folder, const char* name, int flags, struct stat* info = nullptr);
inline int openRegular(const std::string& path, int flags, struct stat* info = nullptr) {
    return openRegular(AT_FDCWD, path.c_str(), flags, info);
}

// The whole of a regular file of at most `limit` bytes. False when it cannot be opened (errno
// as openRegular), holds more than `limit` bytes (EFBIG) or cannot be read.
bool readWhole(int folder, const char* name, size_t limit, std::string& text);
inline bool readWhole(const std::string& path, size_t limit, std::string& text) {
    return readWhole(AT_FDCWD, path.c_str(), limit, text);
}
// The same from a descriptor openRegular gave, read from its current offset.
bool readOpened(int fd, size_t limit, std::string& text);
// At most the first `limit` bytes of a regular file, whatever its size.
bool readStart(const std::string& path, size_t limit, std::string& text);

// Replaces the file with `text` (made when missing); false, with errno, when a link or anything
// but a regular file is in its place or the bytes did not all reach the file.
bool writeWhole(const std::string& path, const std::string& text);

// strerror, with kNotRegular read as what it means here.
std::string errorText(int error);

}  // namespace boundedFile
