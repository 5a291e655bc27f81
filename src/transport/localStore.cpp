#include "transport/localStore.h"

#include <errno.h>
#include <fcntl.h>
#include <json/value.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "transport/overflowFile.h"
#include "transport/storeFiles.h"
#include "transport/storeLock.h"
#include "util/boundedFile.h"
#include "util/jsonText.h"
#include "util/noDestructor.h"
#include "util/uniqueFile.h"
#include "util/utilLog.h"

using storeFiles::appendLines;
using storeFiles::createBeside;
using storeFiles::fileSize;
using storeFiles::isStoredRecord;
using storeFiles::LineReader;
using storeFiles::writeAll;

namespace {

const char* const kAppendName = "/log.txt";
const char* const kResendName = "/log.resend";
const char* const kPositionName = "/log.resend.pos";
// A position is a decimal number.
const size_t kPositionBytes = 32;
// Appends and copies write in pieces of this size.
const size_t kWriteChunkBytes = 64 * 1024;

// Where a re-send's batch in flight ends, per project directory: the store bound may drop the
// re-send's oldest lines while the batch is out, but not count its lines as dropped, since they
// are being answered for. Only the sending thread uses stores (RecordStore serialises them).
std::map<std::string, uint64_t>& batchesInFlight() {
    static NoDestructor<std::map<std::string, uint64_t>> ends;
    return *ends;
}

}  // namespace

void LocalStore::logByteCapDrop(size_t records) {
    if (records == 0) return;
    _error_log("[store] byte cap of " + std::to_string(kMaxStoreBytes) + " bytes: dropped " +
               std::to_string(records) + " oldest records");
}

LocalStore::LocalStore(std::string directory, StoreHealth& health)
    : m_directory(std::move(directory)), m_health(health) {}

LocalStore::~LocalStore() {
    if (m_inFlight) batchesInFlight().erase(m_directory);
}

std::string LocalStore::appendPath() const { return m_directory + kAppendName; }

std::string LocalStore::resendPath() const { return m_directory + kResendName; }

LocalStore::Appended LocalStore::append(const std::vector<std::string>& lines) {
    if (lines.empty()) return Appended::Written;
    const FileLock lock = takeStoreLock(m_directory, m_health);
    if (!lock.mayProceed()) return Appended::Busy;
    return appendLocked(lines);
}

// The size, the trim's copy and rename and the write are one step for the other processes.
LocalStore::Appended LocalStore::appendLocked(const std::vector<std::string>& lines) {
    // One byte more per line for its line end, and one for a line cut by an earlier crash.
    uint64_t incoming = 1;
    for (const std::string& line : lines) incoming += line.size() + 1;
    size_t first = 0;
    while (first < lines.size() && incoming > kMaxStoreBytes) incoming -= lines[first++].size() + 1;
    logByteCapDrop(first);
    if (first == lines.size()) return Appended::Written;
    // The records waiting in the overflow file share the bound: the store gives way to them as
    // it does to new lines, oldest first.
    incoming += overflowFile::unsentBytes(m_directory);

    const std::string path = appendPath();
    const uint64_t size = fileSize(path);
    // The oldest records go first: those of a re-send, which earlier starts stored, then the
    // oldest of "log.txt". The re-send gives way only once the new lines are written, so that a
    // kill in between loses none of a batch in flight (whose failures these lines may be).
    const uint64_t resendLeft = unsentResendBytes();
    uint64_t resendDrop = 0;
    if (size + incoming + resendLeft > kMaxStoreBytes) {
        resendDrop = std::min(resendLeft, size + incoming + resendLeft - kMaxStoreBytes);
        if (size + incoming + resendLeft - resendDrop > kMaxStoreBytes) {
            makeRoom(size, incoming + resendLeft - resendDrop);
        }
    }
    if (!appendLines(path, lines, first, m_health)) return Appended::NotWritten;
    if (resendDrop > 0) dropResendLines(resendDrop);
    return Appended::Written;
}

uint64_t LocalStore::keptBytes() const {
    const uint64_t size = fileSize(resendPath());
    const uint64_t position = readPosition();
    return fileSize(appendPath()) + (size > position ? size - position : 0);
}

uint64_t LocalStore::unsentResendBytes() const {
    const uint64_t size = fileSize(resendPath());
    const uint64_t position = std::max(readPosition(), inFlightEnd());
    return size > position ? size - position : 0;
}

uint64_t LocalStore::inFlightEnd() const {
    const auto found = batchesInFlight().find(m_directory);
    return found == batchesInFlight().end() ? 0 : found->second;
}

// "log.txt" keeps at most half the bound besides what comes in, so the copy is not made on
// every append.
void LocalStore::makeRoom(uint64_t currentSize, uint64_t incoming) const {
    const uint64_t room = kMaxStoreBytes - std::min(kMaxStoreBytes, incoming);
    const uint64_t keepLimit = std::min(room, kMaxStoreBytes / 2);
    const std::string path = appendPath();
    const FileDescriptor in(boundedFile::openRegular(path, O_RDONLY));
    if (!in) return;
    LineReader lines(in.get(), 0, currentSize, kMaxStoreBytes);
    size_t dropped = 0;
    std::string line;
    bool tooLong = false;
    while (currentSize - lines.position() > keepLimit && lines.next(line, tooLong)) {
        if (!line.empty() || tooLong) ++dropped;
    }
    const uint64_t keepFrom = lines.position();
    const std::string temporary = path + ".tmp";
    bool copied = false;
    {
        const FileDescriptor out(createBeside(temporary));
        copied = static_cast<bool>(out);
        std::vector<char> chunk(kWriteChunkBytes);
        for (uint64_t at = keepFrom; copied && at < currentSize;) {
            const ssize_t got =
                ::pread(in.get(), chunk.data(), chunk.size(), static_cast<off_t>(at));
            if (got < 0 && errno == EINTR) continue;
            copied = got > 0 && writeAll(out.get(), chunk.data(), static_cast<size_t>(got));
            at += got > 0 ? static_cast<uint64_t>(got) : 0;
        }
    }
    // The rename replaces the file in one step: a kill leaves the old or the new one.
    if (!copied || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        std::remove(temporary.c_str());
        // The records are still kept, only beyond the bound this once.
        _warn_log("[store] cannot make room in " + path + ": " + boundedFile::errorText(error));
        return;
    }
    logByteCapDrop(dropped);
}

// Moves the re-send's position past its oldest lines (those after a batch in flight) until at
// least `bytes` are dropped or none are left.
void LocalStore::dropResendLines(uint64_t bytes) const {
    const uint64_t size = fileSize(resendPath());
    const uint64_t from = std::max(readPosition(), inFlightEnd());
    const FileDescriptor in(boundedFile::openRegular(resendPath(), O_RDONLY));
    if (!in || from >= size) return;
    LineReader lines(in.get(), from, size, kMaxStoreBytes);
    size_t dropped = 0;
    std::string line;
    bool tooLong = false;
    while (lines.position() - from < bytes && lines.next(line, tooLong)) {
        if (!line.empty() || tooLong) ++dropped;
    }
    if (writePosition(lines.position())) logByteCapDrop(dropped);
}

// Only a regular file is taken over: anything else in its place (a directory, a device, a link)
// is left alone, and appends report it.
bool LocalStore::claim() {
    const FileLock lock = takeStoreLock(m_directory, m_health);
    if (!lock.mayProceed()) return false;
    const std::string resend = resendPath();
    if (fileSize(resend) == 0) {
        finishResend();  // a re-send that ended, or never began
        if (fileSize(appendPath()) == 0) return false;
        if (std::rename(appendPath().c_str(), resend.c_str()) != 0) return false;
    }
    m_position = skipBeyondBound(readPosition());
    m_batchEnd = m_position;
    return true;
}

// What "log.txt" holds now is newer than the re-send: the re-send gives way first.
uint64_t LocalStore::skipBeyondBound(uint64_t position) const {
    const std::string path = resendPath();
    const uint64_t size = fileSize(path);
    const uint64_t bound = kMaxStoreBytes - std::min(kMaxStoreBytes, fileSize(appendPath()));
    if (size <= position || size - position <= bound) return position;
    const FileDescriptor in(boundedFile::openRegular(path, O_RDONLY));
    if (!in) return position;
    LineReader lines(in.get(), position, size, kMaxStoreBytes);
    size_t dropped = 0;
    std::string line;
    bool tooLong = false;
    while (size - lines.position() > bound && lines.next(line, tooLong)) {
        if (!line.empty() || tooLong) ++dropped;
    }
    logByteCapDrop(dropped);
    writePosition(lines.position());
    return lines.position();
}

bool LocalStore::nextBatch(std::vector<std::string>& lines) {
    lines.clear();
    batchesInFlight().erase(m_directory);
    m_inFlight = false;
    const FileLock lock = takeStoreLock(m_directory, m_health);
    if (!lock.mayProceed()) return false;
    // An append may have dropped the oldest lines meanwhile.
    m_position = std::max(m_position, readPosition());
    struct stat info {};
    const FileDescriptor in(boundedFile::openRegular(resendPath(), O_RDONLY, &info));
    // Never beyond the size the file had when the batch began.
    const uint64_t size = in ? static_cast<uint64_t>(info.st_size) : 0;
    if (!in || m_position >= size) {
        finishResend();
        return false;
    }
    LineReader reader(in.get(), m_position, size, kMaxStoreBytes);
    uint64_t position = m_position;
    size_t bytes = 0;
    std::string line;
    bool tooLong = false;
    while (reader.next(line, tooLong)) {
        const uint64_t lineEnd = reader.position();
        if (tooLong || !isStoredRecord(line)) {
            position = lineEnd;  // unreadable: leaves with the batch before it
            continue;
        }
        if (!lines.empty() && bytes + line.size() > kMaxBatchBytes) break;
        position = lineEnd;
        bytes += line.size();
        lines.push_back(std::move(line));
        line.clear();
        if (bytes >= kMaxBatchBytes) break;
    }
    m_batchEnd = position;
    if (lines.empty()) {
        finishResend();
        return false;
    }
    batchesInFlight()[m_directory] = m_batchEnd;
    m_inFlight = true;
    return true;
}

bool LocalStore::confirmBatch() {
    batchesInFlight().erase(m_directory);
    m_inFlight = false;
    const FileLock lock = takeStoreLock(m_directory, m_health);
    if (!lock.mayProceed()) return false;
    m_position = std::max(m_batchEnd, readPosition());
    if (m_position >= fileSize(resendPath())) {
        finishResend();
        return true;
    }
    writePosition(m_position);
    return true;
}

uint64_t LocalStore::readPosition() const {
    std::string text;
    if (!boundedFile::readWhole(m_directory + kPositionName, kPositionBytes, text)) return 0;
    return std::strtoull(text.c_str(), nullptr, 10);
}

// Written beside and renamed over the old one, so a kill leaves one whole number.
bool LocalStore::writePosition(uint64_t position) const {
    const std::string path = m_directory + kPositionName;
    const std::string temporary = path + ".tmp";
    const std::string text = std::to_string(position);
    {
        const FileDescriptor out(createBeside(temporary));
        if (!out || !writeAll(out.get(), text.data(), text.size())) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// The re-send file goes first: a position without its file means nothing.
void LocalStore::finishResend() const {
    batchesInFlight().erase(m_directory);
    std::remove(resendPath().c_str());
    std::remove((m_directory + kPositionName).c_str());
}
