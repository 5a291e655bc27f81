#include "transport/pendingCrashes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "util/boundedFile.h"
#include "util/uniqueFile.h"
#include "util/utilLog.h"

namespace pendingCrashes {
namespace {

// An attempt count is a few digits.
constexpr size_t kMaxCountBytes = 32;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

bool endsWith(const std::string& text, const char* suffix) {
    const std::string tail(suffix);
    return text.size() > tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string stem(const std::string& name, const char* suffix) {
    return name.substr(0, name.size() - std::string(suffix).size());
}

int64_t modifiedNsOf(const struct stat& info) {
    return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// Anything by that name, a link or a FIFO included.
bool exists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

bool isRegularFile(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void removeFile(const std::string& path) {
    if (!path.empty()) ::unlink(path.c_str());
}

// The file a crash is locked by: its record, which its crashed process holds while it reports,
// or the dump of one without a record.
const std::string& lockedFileOf(const Crash& crash) {
    return crash.recordPath.empty() ? crash.dumpPath : crash.recordPath;
}

// True while another process holds the file's lock: the crashed process is still reporting it,
// or another start sends it.
bool heldByAnotherProcess(const std::string& path) {
    const FileDescriptor fd(boundedFile::openRegular(path, O_RDONLY));
    if (!fd) return false;
    struct flock probe {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    return fcntl(fd.get(), F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

// A dump is sent only when it can be read and its size is within the limit.
bool readableDump(const std::string& path, const struct stat& info) {
    if (info.st_size < 1 || info.st_size > kMaxDumpBytes) {
        _warn_log("dropping crash dump of " + std::to_string(info.st_size) + " bytes: " + path);
        return false;
    }
    if (access(path.c_str(), R_OK) != 0) {
        _warn_log("dropping unreadable crash dump: " + path);
        return false;
    }
    return true;
}

// Records and temporary records whose dump is gone: the dump was sent or dropped while the
// record stayed behind (a process that ended between the two deletions).
void removeStrays(const std::string& directory, const std::vector<std::string>& names,
                  int64_t nowNs) {
    for (const std::string& name : names) {
        const char* suffix = endsWith(name, kRecordTempSuffix) ? kRecordTempSuffix
                             : endsWith(name, kRecordSuffix)   ? kRecordSuffix
                             : endsWith(name, kAttemptsSuffix) ? kAttemptsSuffix
                                                               : nullptr;
        if (suffix == nullptr) continue;
        const std::string dump = directory + "/" + stem(name, suffix) + kDumpSuffix;
        if (exists(dump)) continue;
        struct stat info;
        const std::string path = directory + "/" + name;
        if (::lstat(path.c_str(), &info) != 0) continue;
        // A crashing process writes its record just after its dump; give a young one time.
        if (nowNs - modifiedNsOf(info) < std::chrono::nanoseconds(kOrphanAge).count()) continue;
        removeFile(path);
    }
}

std::vector<std::string> namesIn(const std::string& directory) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, DirCloser> dir(opendir(directory.c_str()));
    if (!dir) return names;
    while (const dirent* entry = readdir(dir.get())) names.emplace_back(entry->d_name);
    return names;
}

// Newest first: the oldest beyond the bounds are dropped.
std::vector<Crash> withinBounds(std::vector<Crash> crashes) {
    std::sort(crashes.begin(), crashes.end(),
              [](const Crash& a, const Crash& b) { return a.modifiedNs > b.modifiedNs; });
    std::vector<Crash> kept;
    uint64_t bytes = 0;
    for (const Crash& crash : crashes) {
        if (kept.size() < kMaxDumps && bytes + crash.dumpBytes <= kMaxBytes) {
            bytes += crash.dumpBytes;
            kept.push_back(crash);
        } else {
            _warn_log("too many crash dumps kept, dropping the oldest: " + crash.dumpPath);
            discard(crash);
        }
    }
    std::reverse(kept.begin(), kept.end());
    return kept;
}

}  // namespace

int64_t wallClockNowNs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t processStartNs() {
    static const int64_t startedNs = wallClockNowNs();
    return startedNs;
}

std::vector<Crash> collect(const std::string& directory, int64_t startedNs, int64_t nowNs) {
    const std::vector<std::string> names = namesIn(directory);
    std::vector<Crash> waiting;
    for (const std::string& name : names) {
        if (!endsWith(name, kDumpSuffix)) continue;
        Crash crash;
        crash.dumpPath = directory + "/" + name;
        const std::string record = directory + "/" + stem(name, kDumpSuffix) + kRecordSuffix;
        struct stat info;
        if (::lstat(crash.dumpPath.c_str(), &info) != 0) continue;
        if (!S_ISREG(info.st_mode)) {
            // A link would send a file of the app's choosing; a FIFO or a directory is no dump.
            _warn_log("dropping a crash dump that is not a regular file: " + crash.dumpPath);
            discard(crash);
            continue;
        }
        crash.modifiedNs = modifiedNsOf(info);
        crash.dumpBytes = static_cast<uint64_t>(std::max<off_t>(info.st_size, 0));
        if (crash.modifiedNs >= startedNs) continue;  // this process's own, or in flight
        // A record that is not a regular file counts as none: the dump is completed from the
        // channel, and the odd file goes with the crash.
        if (isRegularFile(record)) {
            crash.recordPath = record;
        } else if (nowNs - crash.modifiedNs < std::chrono::nanoseconds(kOrphanAge).count()) {
            continue;
        }
        if (heldByAnotherProcess(lockedFileOf(crash))) continue;
        if (!readableDump(crash.dumpPath, info)) {
            discard(crash);
            continue;
        }
        waiting.push_back(crash);
    }
    removeStrays(directory, names, nowNs);
    return withinBounds(std::move(waiting));
}

void discard(const Crash& crash) {
    removeFile(crash.dumpPath);
    const std::string base = stem(crash.dumpPath, kDumpSuffix);
    removeFile(base + kRecordSuffix);
    removeFile(base + kAttemptsSuffix);
}

bool countFailedAttempt(const Crash& crash) {
    const std::string path = stem(crash.dumpPath, kDumpSuffix) + kAttemptsSuffix;
    int attempts = 0;
    std::string count;
    if (boundedFile::readWhole(path, kMaxCountBytes, count)) attempts = std::atoi(count.c_str());
    attempts = std::max(attempts, 0) + 1;
    if (attempts >= kMaxAttempts) {
        _warn_log("crash not accepted after " + std::to_string(attempts) +
                  " starts, dropping it: " + crash.dumpPath);
        discard(crash);
        return true;
    }
    boundedFile::writeWhole(path, std::to_string(attempts) + "\n");
    return false;
}

namespace {

bool sameFile(const std::string& path, int fd) {
    struct stat named {};
    struct stat opened {};
    return ::lstat(path.c_str(), &named) == 0 && ::fstat(fd, &opened) == 0 &&
           named.st_dev == opened.st_dev && named.st_ino == opened.st_ino && opened.st_nlink > 0;
}

}  // namespace

CrashLock::CrashLock(const Crash& crash)
    : m_dump(
          boundedFile::openRegular(crash.dumpPath, crash.recordPath.empty() ? O_RDWR : O_RDONLY)),
      m_record(crash.recordPath.empty() ? -1 : boundedFile::openRegular(crash.recordPath, O_RDWR)) {
    if (!m_dump || (!crash.recordPath.empty() && !m_record)) return;
    const int locked = crash.recordPath.empty() ? m_dump.get() : m_record.get();
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(locked, F_SETLK, &whole) != 0) return;
    // Taken only after another process had sent the crash and deleted its files: the names
    // are gone, or name other files.
    m_held = sameFile(crash.dumpPath, m_dump.get()) &&
             (crash.recordPath.empty() || sameFile(crash.recordPath, m_record.get()));
}

bool readRecord(int recordFd, std::string& objectText, long long& crashTimeMs) {
    std::string text;
    if (!boundedFile::readOpened(recordFd, kMaxRecordBytes, text)) return false;
    const size_t lineEnd = text.find('\n');
    objectText = text.substr(0, lineEnd);
    crashTimeMs = 0;
    if (lineEnd != std::string::npos) crashTimeMs = std::atoll(text.c_str() + lineEnd + 1);
    return !objectText.empty();
}

}  // namespace pendingCrashes
