#include "transport/overflowFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "transport/localStore.h"
#include "transport/storeFiles.h"
#include "transport/storeLock.h"
#include "util/boundedFile.h"
#include "util/uniqueFile.h"

namespace overflowFile {

namespace {

const char* const kFileName = "/log.overflow";
const char* const kPositionName = "/log.overflow.pos";
const size_t kPositionBytes = 32;

uint64_t readPosition(const std::string& directory) {
    std::string text;
    if (!boundedFile::readWhole(directory + kPositionName, kPositionBytes, text)) return 0;
    return std::strtoull(text.c_str(), nullptr, 10);
}

// Written beside and renamed over the old one, so a kill leaves one whole number.
bool writePosition(const std::string& directory, uint64_t position) {
    const std::string path = directory + kPositionName;
    const std::string temporary = path + ".tmp";
    const std::string text = std::to_string(position);
    {
        const FileDescriptor out(storeFiles::createBeside(temporary));
        if (!out || !storeFiles::writeAll(out.get(), text.data(), text.size())) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// The file first: a position without its file means nothing.
void removeBoth(const std::string& directory) {
    std::remove((directory + kFileName).c_str());
    std::remove((directory + kPositionName).c_str());
}

}  // namespace

Appended append(const std::string& directory, const std::vector<std::string>& lines,
                StoreHealth& health) {
    if (lines.empty()) return Appended::Written;
    const FileLock lock = takeStoreLock(directory, health);
    if (!lock.mayProceed()) return Appended::Busy;
    const std::string path = directory + kFileName;
    if (!storeFiles::appendLines(path, lines, 0, health)) return Appended::NotWritten;
    return Appended::Written;
}

bool nextBatch(const std::string& directory, std::vector<std::string>& lines, uint64_t& end,
               StoreHealth& health) {
    lines.clear();
    const FileLock lock = takeStoreLock(directory, health);
    if (!lock.mayProceed()) return false;
    struct stat info {};
    const FileDescriptor in(boundedFile::openRegular(directory + kFileName, O_RDONLY, &info));
    const uint64_t size = in ? static_cast<uint64_t>(info.st_size) : 0;
    const uint64_t from = readPosition(directory);
    if (!in || from >= size) return false;
    storeFiles::LineReader reader(in.get(), from, size, LocalStore::kMaxStoreBytes);
    uint64_t position = from;
    size_t bytes = 0;
    std::string line;
    bool tooLong = false;
    while (reader.next(line, tooLong)) {
        if (tooLong || !storeFiles::isStoredRecord(line)) {
            position = reader.position();  // unreadable: leaves with the batch before it
            continue;
        }
        if (!lines.empty() && bytes + line.size() > LocalStore::kMaxBatchBytes) break;
        position = reader.position();
        bytes += line.size();
        lines.push_back(std::move(line));
        line.clear();
        if (bytes >= LocalStore::kMaxBatchBytes) break;
    }
    end = position;
    if (lines.empty() && position > from) confirm(directory, position, health);
    return !lines.empty();
}

bool confirm(const std::string& directory, uint64_t end, StoreHealth& health) {
    const FileLock lock = takeStoreLock(directory, health);
    if (!lock.mayProceed()) return false;
    if (end >= storeFiles::fileSize(directory + kFileName)) {
        removeBoth(directory);
        return true;
    }
    writePosition(directory, end);
    return false;
}

uint64_t unsentBytes(const std::string& directory) {
    const uint64_t size = storeFiles::fileSize(directory + kFileName);
    const uint64_t position = readPosition(directory);
    return size > position ? size - position : 0;
}

}  // namespace overflowFile
