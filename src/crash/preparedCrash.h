// The crash record, kept serialised ahead of the crash so that the signal path only has to
// write it: once Breakpad's dump exists, writeBeside() puts the record next to it with
// open/fcntl/write/rename and nothing that allocates, locks or uses stdio. Everything that can
// block (the report) comes after, so a crash is on disk whatever the report then runs into.
//
// Two buffers are made with the object; store() fills the one the signal path does not read and
// then publishes it with an atomic index. Once a crash has begun, store() leaves both alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "thread/crossThread.h"
#include "transport/journalSlot.h"
#include "transport/lastLogs.h"
#include "transport/pendingCrashes.h"
#include "transport/recordJournal.h"
#include "util/vesk2Utils.h"

// The crash record's compact object, made again after each change of what it holds. The members
// ("key":"value" as the record writer writes them) are kept between calls, so a change of one
// field escapes that field alone and the rest is copied.
class CrashMembers {
public:
    // The object of the layers' fields merged (each layer over the ones before), "handlerName"
    // left out, byte for byte as writeRecordObject writes it, into text. False when it could not
    // be written, or when it would be larger than `bound` (tooLarge() then says so).
    bool write(std::initializer_list<const MapValues*> layers, size_t bound, std::string& text);
    bool tooLarge() const { return m_tooLarge; }

private:
    struct Member {
        std::string key;
        std::string value;
        std::string text;
    };
    // In key order.
    std::vector<Member> m_members;
    bool m_tooLarge = false;
};

class PreparedCrash {
public:
    // Room for one record: the channel's fields, custom fields and identity. A record that does
    // not fit is not kept (a log line says so); the crash then leaves its dump alone, which
    // the next start completes from the channel as it is then. The next start reads no more
    // than this back.
    static constexpr size_t kCapacity = pendingCrashes::kMaxRecordObjectBytes;

    PreparedCrash() = default;
    PreparedCrash(const PreparedCrash&) = delete;
    PreparedCrash& operator=(const PreparedCrash&) = delete;

    // Off the signal path. recordText is the record's compact JSON object; "" forgets it.
    // False when it does not fit or a crash has begun.
    bool store(const std::string& recordText);

    // Async-signal-safe. Writes "<dump without .dmp>.rec" (through a temporary name) with the
    // prepared record and the crash time, and keeps it locked until release() or the process's
    // end. False when nothing is prepared or the file could not be written.
    bool writeBeside(const char* dumpPath);

    // Lets go of the record written by writeBeside(): the report is over.
    void release();

    // The journal slot whose last records of the main channel a crash carries (read when the
    // crash comes: the journal may open later); null forgets it. It must stay alive until it is
    // forgotten.
    void setJournal(const JournalSlot* journal);
    // The list writeBeside() wrote into the record (lastLogs.h), so that the report the crashed
    // process sends carries the same; before any crash, the list as it is now.
    std::string lastLogs();

private:
    // Async-signal-safe: atomic loads only.
    const RecordJournal* openJournal() const;

    struct Buffer {
        char bytes[kCapacity];
        size_t size = 0;
    };

    std::mutex m_storeLock;
    Buffer m_buffers[2];
    // The buffer the signal path reads; -1 while none is prepared.
    std::atomic<int> m_current{-1};
    std::atomic<bool> m_crashed{false};
    // The written record, open and locked; only the crashing thread touches it.
    int m_recordFd = -1;
    std::atomic<const JournalSlot*> m_journal{nullptr};
    // Filled by the crashing thread only, in writeBeside().
    lastLogs::Workspace m_lastLogsWork;
    char m_lastLogs[lastLogs::kCapacity];
    size_t m_lastLogsSize = 0;
};
