#include "transport/storeFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <json/value.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "util/boundedFile.h"
#include "util/jsonText.h"
#include "util/uniqueFile.h"

namespace storeFiles {

bool appendLines(const std::string& path, const std::vector<std::string>& lines, size_t first,
                 StoreHealth& health) {
    struct stat info {};
    const FileDescriptor file(boundedFile::openRegular(path, O_RDWR | O_APPEND | O_CREAT, &info));
    if (!file) {
        health.notKept("cannot open " + path + ": " + boundedFile::errorText(errno),
                       lines.size() - first);
        return false;
    }
    std::string text;
    char last = '\n';
    if (info.st_size > 0 && ::pread(file.get(), &last, 1, info.st_size - 1) == 1 && last != '\n') {
        text += '\n';
    }
    constexpr size_t kWriteChunkBytes = 64 * 1024;
    bool written = true;
    for (size_t i = first; written && i < lines.size(); ++i) {
        text += lines[i];
        text += '\n';
        if (text.size() < kWriteChunkBytes && i + 1 < lines.size()) continue;
        written = writeAll(file.get(), text.data(), text.size());
        text.clear();
    }
    if (!written) {
        health.notKept("cannot write " + path + ": " + boundedFile::errorText(errno),
                       lines.size() - first);
        return false;
    }
    health.writable();
    return true;
}

uint64_t fileSize(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
    return static_cast<uint64_t>(info.st_size);
}

bool writeAll(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, bytes, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

int createBeside(const std::string& path) {
    ::unlink(path.c_str());
    return boundedFile::openRegular(path, O_WRONLY | O_CREAT | O_EXCL);
}

bool isStoredRecord(const std::string& line) {
    try {
        Json::Value record;
        return jsonText::parse(line, record) && record.isObject();
    } catch (const std::exception&) {
        return false;  // nested beyond the reader's depth limit
    }
}

bool LineReader::next(std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    if (m_at >= m_until) return false;
    for (;;) {
        if (m_start == m_end && !fill()) return m_lineStarted && finish();
        m_lineStarted = true;
        const char* const begin = m_buffer + m_start;
        const char* const end = m_buffer + m_end;
        const char* const found = static_cast<const char*>(memchr(begin, '\n', end - begin));
        const size_t taken = static_cast<size_t>((found != nullptr ? found : end) - begin);
        if (!tooLong && line.size() + taken <= m_maxLine) {
            line.append(begin, taken);
        } else if (!tooLong) {
            tooLong = true;
            std::string().swap(line);
        }
        m_start += taken;
        m_at += taken;
        if (found != nullptr) {
            ++m_start;
            ++m_at;
            return finish();
        }
    }
}

bool LineReader::fill() {
    if (m_at >= m_until) return false;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof m_buffer, m_until - m_at));
    for (;;) {
        const ssize_t got = ::pread(m_fd, m_buffer, want, static_cast<off_t>(m_at));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            m_until = m_at;  // cut short: the file shrank, or cannot be read
            return false;
        }
        m_start = 0;
        m_end = static_cast<size_t>(got);
        return true;
    }
}

}  // namespace storeFiles
