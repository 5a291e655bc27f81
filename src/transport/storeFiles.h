// The file work under the record store: sizes, whole writes, files made beside the store and
// the lines of a stretch of a store file. Every file here may have been changed by someone else:
// links and anything but regular files count as absent, reads are bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "transport/storeHealth.h"

namespace storeFiles {

// Size of a regular file; 0 when there is none, or a link or anything else is in its place.
uint64_t fileSize(const std::string& path);

// False when the bytes could not all be written.
bool writeAll(int fd, const char* bytes, size_t size);

// Appends lines[first..] to the store file at path, a line each, in writes of at most 64 KiB,
// telling health what came of it; false when they were not all written. The file must be a
// regular one (made when missing); a line a killed writer left without its end is ended first,
// so it cannot swallow the next record.
bool appendLines(const std::string& path, const std::vector<std::string>& lines, size_t first,
                 StoreHealth& health);

// A file of our own beside the store, made anew: whatever was in its place (a link included)
// goes first, so nothing outside the folder is written through it. -1 when it cannot be made.
int createBeside(const std::string& path);

// True when the line is a JSON object, as every stored record is.
bool isStoredRecord(const std::string& line);

// The lines of a stretch of a store file, read in pieces: no line longer than `maxLine` is held
// (a file someone else grew may hold one of any length).
class LineReader {
public:
    LineReader(int fd, uint64_t from, uint64_t until, uint64_t maxLine)
        : m_fd(fd), m_at(from), m_until(until), m_maxLine(maxLine) {}

    // The next line without its line end; false at the end of the stretch or on a read error.
    // A line over `maxLine` comes back empty, with `tooLong`.
    bool next(std::string& line, bool& tooLong);
    // Where the next line starts: past the last line and its line end.
    uint64_t position() const { return m_at; }

private:
    bool fill();
    bool finish() {
        m_lineStarted = false;
        return true;
    }

    const int m_fd;
    uint64_t m_at;
    uint64_t m_until;
    const uint64_t m_maxLine;
    char m_buffer[64 * 1024];
    size_t m_start = 0;
    size_t m_end = 0;
    bool m_lineStarted = false;
};

}  // namespace storeFiles
