// The channels of the library, each with its record (`Handler`), the journal of its directory,
// the host name its records carry, and the channels still to be set up by the sending thread.
// Application threads change channels while the sending thread and a crash report read them,
// so every access takes the registry's one lock, and only for short copies and updates. The
// calls an application thread makes wait for the lock at most kAppWait and then refuse (as if
// the channel were unknown): an app thread never waits without a bound.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "record/handler.h"
#include "transport/journalSlot.h"
#include "transport/recordJournal.h"
#include "util/vesk2Utils.h"

class ChannelRegistry {
public:
    // Called, with no lock of the registry held, after anything the main channel's crash
    // record holds changed (registration, user ID, custom fields, host switch, device ID, host
    // name, settings).
    using Observer = std::function<void()>;

    static constexpr std::chrono::milliseconds kAppWait{500};

    ChannelRegistry() = default;
    ChannelRegistry(const ChannelRegistry&) = delete;
    ChannelRegistry& operator=(const ChannelRegistry&) = delete;

    // Bounded by kAppWait: add, contains, read, update, updateSwitch, recordFields,
    // journalOf(name). The others wait as long as the lock is held.

    // Registers the channel and lays out its directory ("<storage>/quillmark/<project>", with a
    // journal slot per directory, opened later by openJournals). On success the registry owns
    // the record; on refusal (null, known name, a directory that cannot be made) the caller
    // keeps it.
    bool add(std::unique_ptr<Handler>& channel);
    bool contains(const std::string& name) const;
    // A copy of the channel's record; false when unknown.
    bool snapshot(const std::string& name, Handler& copy) const;
    // Changes the channel's record under the lock; false when unknown. fieldsChanged() is
    // called for the change, and the crash record observer afterwards.
    bool update(const std::string& name, const std::function<void(Handler&)>& change);
    // The same without fieldsChanged() or the observer, for switches records do not carry.
    bool updateSwitch(const std::string& name, const std::function<void(Handler&)>& change);
    // Calls look with the channel's record under the lock (it must be short); false when
    // unknown.
    bool read(const std::string& name, const std::function<void(const Handler&)>& look) const;
    // Calls visit for each channel in registration order, under the lock: it must be short. The
    // journal is its directory's open one, else null.
    void forEach(const std::function<void(const Handler&, RecordJournal*)>& visit) const;

    // Gives record the channel's shared fields and journal the journal slot of its directory
    // (null without one); false when unknown.
    bool recordFields(const std::string& name, QueuedRecord& record, JournalSlot** journal) const;
    // The slot lives as long as the registry.
    JournalSlot* journalOf(const std::string& name) const;

    // Whether a journal waits to be opened; lock-free.
    bool journalsPending() const { return m_journalsPending.load(std::memory_order_acquire) > 0; }
    // For the sending thread: opens each journal not opened yet (JournalSlot::open, without the
    // registry's lock), calling journalWaiting with the slot and its journal, before the
    // journal is visible, to journal the records queued before.
    void openJournals(
        const std::function<void(const JournalSlot& slot, RecordJournal& journal)>& journalWaiting);

    // The next channel registered and not yet set up; false when there is none.
    bool takeSetUp(std::string& name);
    // Whether a channel waits for its set-up; lock-free, for the sending thread's own wait.
    bool setUpPending() const { return m_setUpsPending.load(std::memory_order_relaxed) > 0; }

    std::string hostName() const;
    void setHostName(const std::string& name);

    // For a crash report, which must not wait for a lock its own thread may hold: the main
    // channel and the host name, read under the lock if it can be had within `wait`, else
    // read as they are. False when there is no main channel.
    bool crashSnapshot(std::chrono::milliseconds wait, Handler& channel, std::string& host) const;

    void setObserver(Observer observer);
    // Calls the observer when name is the main channel's.
    void notifyCrashInputs(const std::string& name) const;

private:
    // The caller holds m_mutex.
    Handler* find(const std::string& name) const;
    JournalSlot* journalOf(const Handler& channel) const;

    mutable std::timed_mutex m_mutex;
    // Serialises add(), which works on files without m_mutex.
    std::mutex m_addMutex;
    std::list<std::unique_ptr<Handler>> m_channels;
    // One journal slot per channel directory, never removed.
    std::map<std::string, std::unique_ptr<JournalSlot>> m_journals;
    std::atomic<size_t> m_journalsPending{0};
    std::list<std::string> m_setUps;
    std::atomic<size_t> m_setUpsPending{0};
    std::string m_hostName;

    mutable std::mutex m_observerMutex;
    Observer m_observer;
};
