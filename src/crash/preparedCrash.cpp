#include "crash/preparedCrash.h"

#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include "record/vesk2Define.h"
#include "transport/pendingCrashes.h"
#include "util/jsonText.h"
#include "util/utilLog.h"

namespace {

constexpr size_t kMaxPathBytes = 1024;

// Everything below runs in the signal handler: only plain loops over caller-owned buffers and
// system calls from the async-signal-safe list.

// Appends text to out (capacity bytes, used so far) and keeps it terminated; false when it
// does not fit.
bool appendText(char* out, size_t capacity, size_t& used, const char* text) {
    const size_t length = strlen(text);
    if (used + length + 1 > capacity) return false;
    memcpy(out + used, text, length + 1);
    used += length;
    return true;
}

// "<dump without its suffix><suffix>" into out.
bool siblingPath(const char* dumpPath, const char* suffix, char* out, size_t capacity) {
    size_t used = 0;
    if (!appendText(out, capacity, used, dumpPath)) return false;
    const size_t dumpSuffix = strlen(pendingCrashes::kDumpSuffix);
    if (used < dumpSuffix || strcmp(out + used - dumpSuffix, pendingCrashes::kDumpSuffix) != 0) {
        return false;
    }
    used -= dumpSuffix;
    out[used] = '\0';
    return appendText(out, capacity, used, suffix);
}

// "\n<milliseconds since the epoch>\n"; returns its length.
size_t crashTimeLine(char* out, size_t capacity) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long long ms = static_cast<unsigned long long>(now.tv_sec) * 1000 +
                            static_cast<unsigned long long>(now.tv_nsec) / 1000000;
    char digits[24];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + ms % 10);
        ms /= 10;
    } while (ms != 0 && count < sizeof digits);
    if (count + 2 > capacity) return 0;
    size_t used = 0;
    out[used++] = '\n';
    while (count > 0) out[used++] = digits[--count];
    out[used++] = '\n';
    return used;
}

bool writeAll(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t wrote = write(fd, bytes, size);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        bytes += wrote;
        size -= static_cast<size_t>(wrote);
    }
    return true;
}

bool lockForWriting(int fd) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return fcntl(fd, F_SETLK, &whole) == 0;
}

}  // namespace

bool CrashMembers::write(std::initializer_list<const MapValues*> layers, size_t bound,
                         std::string& text) {
    text.clear();
    // Escaping only lengthens: what is larger before it needs no escaping to be refused.
    size_t least = 2;
    bool wellFormed = true;
    forEachField(layers, [&](const std::string& key, const std::string& value) {
        if (key == VESK_KEY_HANDLERNAME) return;
        least += key.size() + value.size() + 6;
        wellFormed = wellFormed && jsonText::isWellFormedUtf8(key);
    });
    m_tooLarge = least > bound + 1;
    if (m_tooLarge) return false;
    try {
        // A key that needs repair can collide with another once repaired: the general way.
        if (!wellFormed) {
            jsonText::appendCompactObject(layers, VESK_KEY_HANDLERNAME.c_str(), text);
            while (!text.empty() && text.back() == '\n') text.pop_back();
            m_tooLarge = text.size() > bound;
            return !m_tooLarge;
        }
        std::vector<Member> members;
        members.reserve(m_members.size() + 1);
        size_t known = 0;  // both in key order: the first kept member not passed yet
        text.reserve(least);
        text += '{';
        forEachField(layers, [&](const std::string& key, const std::string& value) {
            if (key == VESK_KEY_HANDLERNAME) return;
            while (known < m_members.size() && m_members[known].key < key) ++known;
            Member member;
            if (known < m_members.size() && m_members[known].key == key &&
                m_members[known].value == value) {
                member = std::move(m_members[known++]);
            } else {
                member.key = key;
                member.value = value;
                jsonText::appendMember(key, value, member.text);
            }
            if (text.size() > 1) text += ',';
            text += member.text;
            members.push_back(std::move(member));
        });
        text += '}';
        m_members.swap(members);
    } catch (const std::exception&) {
        m_members.clear();
        text.clear();
        return false;
    }
    m_tooLarge = text.size() > bound;
    return !m_tooLarge;
}

bool PreparedCrash::store(const std::string& recordText) {
    if (recordText.size() > kCapacity) {
        _warn_log("crash record of " + std::to_string(recordText.size()) +
                  " bytes not prepared: a crash now would keep only its dump");
    }
    std::lock_guard lock(m_storeLock);
    if (m_crashed) return false;
    if (recordText.empty() || recordText.size() > kCapacity) {
        m_current = -1;
        return false;
    }
    // The buffer the signal path does not read. Only one store runs at a time, and once a
    // crash has begun none starts, so the buffer a crash reads is never written under it.
    const int next = m_current.load() == 0 ? 1 : 0;
    memcpy(m_buffers[next].bytes, recordText.data(), recordText.size());
    m_buffers[next].size = recordText.size();
    m_current = next;
    return true;
}

bool PreparedCrash::writeBeside(const char* dumpPath) {
    m_crashed = true;
    const int current = m_current.load();
    if (current < 0 || dumpPath == nullptr) return false;
    const Buffer& record = m_buffers[current];

    // On a signal stack of 16 KiB or more: room for a dump path, not for PATH_MAX twice. A
    // longer path leaves the dump alone, which a next start completes from the channel.
    char finalPath[kMaxPathBytes];
    char tempPath[kMaxPathBytes];
    if (!siblingPath(dumpPath, pendingCrashes::kRecordSuffix, finalPath, sizeof finalPath) ||
        !siblingPath(dumpPath, pendingCrashes::kRecordTempSuffix, tempPath, sizeof tempPath)) {
        return false;
    }
    const int fd = open(tempPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    char timeLine[32];
    const size_t timeLength = crashTimeLine(timeLine, sizeof timeLine);
    m_lastLogsSize = lastLogs::write(openJournal(), VESK_CHANNEL_USER, m_lastLogsWork, m_lastLogs);
    // The prepared object with the list as its last member: "{...," + member + "}".
    const char* const memberStart = record.size > 2 ? ",\"" : "\"";
    // The lock goes with the file through the rename: a next start that overlaps this process
    // sees the record held until the report is over.
    const bool written = record.size >= 2 && record.bytes[record.size - 1] == '}' &&
                         lockForWriting(fd) && writeAll(fd, record.bytes, record.size - 1) &&
                         writeAll(fd, memberStart, strlen(memberStart)) &&
                         writeAll(fd, VESK_KEY_LASTLOGS, strlen(VESK_KEY_LASTLOGS)) &&
                         writeAll(fd, "\":", 2) && writeAll(fd, m_lastLogs, m_lastLogsSize) &&
                         writeAll(fd, "}", 1) && writeAll(fd, timeLine, timeLength) &&
                         rename(tempPath, finalPath) == 0;
    if (!written) {
        unlink(tempPath);
        close(fd);
        return false;
    }
    if (m_recordFd >= 0) close(m_recordFd);
    m_recordFd = fd;
    return true;
}

void PreparedCrash::setJournal(const JournalSlot* journal) { m_journal.store(journal); }

const RecordJournal* PreparedCrash::openJournal() const {
    const JournalSlot* slot = m_journal.load();
    return slot != nullptr ? slot->journal() : nullptr;
}

std::string PreparedCrash::lastLogs() {
    if (m_lastLogsSize != 0) return std::string(m_lastLogs, m_lastLogsSize);
    const auto work = std::make_unique<lastLogs::Workspace>();
    std::string list(lastLogs::kCapacity, '\0');
    list.resize(lastLogs::write(openJournal(), VESK_CHANNEL_USER, *work, &list[0]));
    return list;
}

void PreparedCrash::release() {
    if (m_recordFd < 0) return;
    close(m_recordFd);
    m_recordFd = -1;
}
