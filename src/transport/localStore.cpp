#include "transport/localStore.h"

#include <errno.h>
#include <json/value.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "util/jsonText.h"
#include "util/uniqueFile.h"
#include "util/utilLog.h"

namespace {

const char* const kAppendName = "/log.txt";
const char* const kResendName = "/log.resend";
const char* const kPositionName = "/log.resend.pos";

std::string failureText(const std::string& what, const std::string& path, int error) {
    return what + " " + path + ": " + std::strerror(error);
}

void logByteCapDrop(size_t records) {
    if (records == 0) return;
    _error_log("[store] byte cap of " + std::to_string(LocalStore::kMaxStoreBytes) +
               " bytes: dropped " + std::to_string(records) + " oldest records");
}

// Size of a regular file; 0 when there is none.
uint64_t fileSize(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
    return static_cast<uint64_t>(info.st_size);
}

// A writer that died in the middle of a line left the file without its last line end;
// starting on a new line keeps that cut line from swallowing the next record.
bool endsInsideLine(FILE* file) {
    if (fseek(file, -1, SEEK_END) != 0) return false;
    const int last = fgetc(file);
    fseek(file, 0, SEEK_END);
    return last != EOF && last != '\n';
}

bool isStoredRecord(const std::string& line) {
    try {
        Json::Value record;
        return jsonText::parse(line, record) && record.isObject();
    } catch (const std::exception&) {
        return false;  // nested beyond the reader's depth limit
    }
}

}  // namespace

void StoreHealth::notKept(const std::string& condition, size_t records) {
    std::lock_guard lock(m_mutex);
    m_recordsNotKept += records;
    if (!m_conditions.insert(condition).second) return;
    _error_log("[store] records not kept: " + condition);
}

void StoreHealth::writable() {
    std::lock_guard lock(m_mutex);
    if (m_conditions.empty()) return;
    _error_log("[store] writable again; " + std::to_string(m_recordsNotKept) +
               " records were not kept");
    m_conditions.clear();
    m_recordsNotKept = 0;
}

void StoreHealth::reportLosses() {
    std::lock_guard lock(m_mutex);
    if (m_recordsNotKept == 0) return;
    _error_log("[store] " + std::to_string(m_recordsNotKept) + " records were not kept");
    m_recordsNotKept = 0;
}

LocalStore::LocalStore(std::string directory, StoreHealth& health)
    : m_directory(std::move(directory)), m_health(health) {}

std::string LocalStore::appendPath() const { return m_directory + kAppendName; }

std::string LocalStore::resendPath() const { return m_directory + kResendName; }

bool LocalStore::append(const std::vector<std::string>& lines) {
    if (lines.empty()) return true;
    // One byte more per line for its line end, and one for a line cut by an earlier crash.
    uint64_t incoming = 1;
    for (const std::string& line : lines) incoming += line.size() + 1;
    size_t first = 0;
    while (first < lines.size() && incoming > kMaxStoreBytes) incoming -= lines[first++].size() + 1;
    logByteCapDrop(first);
    if (first == lines.size()) return true;

    const std::string path = appendPath();
    const uint64_t size = fileSize(path);
    if (size + incoming > kMaxStoreBytes) makeRoom(size, incoming);
    UniqueFile file(fopen(path.c_str(), "a+"));
    if (!file) {
        m_health.notKept(failureText("cannot open", path, errno), lines.size() - first);
        return false;
    }
    bool written = !endsInsideLine(file.get()) || fputc('\n', file.get()) != EOF;
    for (size_t i = first; written && i < lines.size(); ++i) {
        written = fwrite(lines[i].data(), 1, lines[i].size(), file.get()) == lines[i].size() &&
                  fputc('\n', file.get()) != EOF;
    }
    written = fflush(file.get()) == 0 && written;
    const int error = errno;
    if (fclose(file.release()) != 0) written = false;
    if (!written) {
        m_health.notKept(failureText("cannot write", path, error), lines.size() - first);
        return false;
    }
    m_health.writable();
    return true;
}

// Keeps at most half the bound besides what comes in, so the copy is not made on every append.
void LocalStore::makeRoom(uint64_t currentSize, uint64_t incoming) const {
    const uint64_t keepLimit = std::min(kMaxStoreBytes - incoming, kMaxStoreBytes / 2);
    const std::string path = appendPath();
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    uint64_t skipped = 0;
    size_t dropped = 0;
    std::string line;
    while (currentSize - skipped > keepLimit && std::getline(in, line)) {
        skipped += line.size() + (in.eof() ? 0 : 1);
        if (!line.empty()) ++dropped;
    }
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (in.good()) out << in.rdbuf();
        out.flush();
        if (!out) {
            out.close();
            std::remove(temporary.c_str());
            m_health.notKept(failureText("cannot make room in", path, errno), 0);
            return;
        }
    }
    // The rename replaces the file in one step: a kill leaves the old or the new one.
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return;
    }
    logByteCapDrop(dropped);
}

// Only a regular file is taken over: anything else in its place (a directory, a device) is
// left alone, and appends report it.
bool LocalStore::claim() {
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

uint64_t LocalStore::skipBeyondBound(uint64_t position) const {
    const std::string path = resendPath();
    const uint64_t size = fileSize(path);
    if (size <= position || size - position <= kMaxStoreBytes) return position;
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(position));
    size_t dropped = 0;
    std::string line;
    while (size - position > kMaxStoreBytes && std::getline(in, line)) {
        position += line.size() + (in.eof() ? 0 : 1);
        if (!line.empty()) ++dropped;
    }
    logByteCapDrop(dropped);
    writePosition(position);
    return position;
}

bool LocalStore::nextBatch(std::vector<std::string>& lines) {
    lines.clear();
    // Never beyond the size a regular file had when the batch began.
    const uint64_t size = fileSize(resendPath());
    std::ifstream in(resendPath(), std::ios::binary);
    if (!in || m_position >= size) {
        finishResend();
        return false;
    }
    in.seekg(static_cast<std::streamoff>(m_position));
    uint64_t position = m_position;
    size_t bytes = 0;
    std::string line;
    while (position < size && std::getline(in, line)) {
        const uint64_t lineEnd = position + line.size() + (in.eof() ? 0 : 1);
        if (!isStoredRecord(line)) {
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
    if (lines.empty()) finishResend();
    return !lines.empty();
}

void LocalStore::confirmBatch() {
    m_position = m_batchEnd;
    if (m_position >= fileSize(resendPath())) {
        finishResend();
        return;
    }
    writePosition(m_position);
}

uint64_t LocalStore::readPosition() const {
    std::ifstream in(m_directory + kPositionName);
    unsigned long long position = 0;
    if (!(in >> position)) return 0;
    return position;
}

// Written beside and renamed over the old one, so a kill leaves one whole number.
bool LocalStore::writePosition(uint64_t position) const {
    const std::string path = m_directory + kPositionName;
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << position;
        out.flush();
        if (!out) return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// The re-send file goes first: a position without its file means nothing.
void LocalStore::finishResend() const {
    std::remove(resendPath().c_str());
    std::remove((m_directory + kPositionName).c_str());
}
