// Records logged while the sending thread cannot keep up (a collector that stalls or cannot be
// reached holds it in one exchange for up to 30 s), kept on the device instead of refused.
// Once the queue is full, the queue's pushOrSpill moves each later record of a channel with
// storage here, into a bounded list, with no encoding on the application's thread; the spill
// thread, which this object owns, writes them to their directory's overflow file
// (overflowFile.h) in order, and the sending thread sends those files batch by batch once
// every record queued before them is dealt with. Spilling ends (Thread::endSpilling) once
// list and files are empty.
//
// The device bound (LocalStore::kMaxStoreBytes) counts the store's files and the overflow file
// together: the list takes a record only while the bytes on the device and those it already
// holds leave room for it, at the longest line written so far. What it refuses, for the bound
// or because the device takes records slower than they come, is counted and said in one log
// line once the files are being sent and records are taken again, or at the end.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "thread/crossThread.h"
#include "transport/channelRegistry.h"
#include "transport/deliveryOutcome.h"
#include "transport/repeatFilter.h"
#include "transport/storeHealth.h"

class Backlog : public Threads::SpillTarget {
public:
    // Records the list holds at most: about 1 MiB of the records' own fields in common cases.
    static constexpr size_t kMaxSpilled = 2048;

    // written: called on the spill thread after each write (the sending thread has work);
    // spent: takes the records written, to be filled again by the application.
    Backlog(const ChannelRegistry& registry, std::function<void()> written,
            std::function<void(ListJobs&)> spent);
    // Writes what the list holds and joins the spill thread.
    ~Backlog() override;
    Backlog(const Backlog&) = delete;
    Backlog& operator=(const Backlog&) = delete;

    // A no is a refusal, and counted: the caller refuses the record it was about to make.
    bool hasRoom() override;
    bool take(ListJobs& slot) override;

    // Starts the spill thread, unless it runs; records are taken from now on.
    void start();
    // Writes what the list holds, then ends the spill thread and joins it; the refusals are
    // said. Later records are refused until the next start().
    void finish();

    // For the sending thread, at a channel's set-up: the directory's records may come here, so
    // its bytes on the device count from now on; true when an earlier process left an overflow
    // file there with records to send.
    bool adopt(const std::string& directory);
    // Whether any overflow file holds records not answered for.
    bool hasFiles() const;
    enum class Sent { Everything, NoAnswer, Busy };
    // Sends the overflow files batch by batch through post; what the collector answered for
    // but did not take goes to keep (the store). Stops at the first batch no collector
    // answered (it stays, for a later attempt); a directory whose records another process of
    // the app sends (it holds the re-send's lock) or whose store is busy is left: Busy.
    Sent sendFiles(const std::function<DeliveryOutcome(const std::string& directory,
                                                       const Batch& batch)>& post,
                   const std::function<void(const std::string& directory, const Batch& batch,
                                            const DeliveryOutcome& outcome)>& keep);
    // Nothing listed, being written or in a file: spilling may end.
    bool drained() const;

private:
    // Under m_mutex: room for one more record; a refusal is counted by its reason.
    bool roomLocked();
    void writeLoop();
    void writeRecords(ListJobs& records);
    // Sets how many more records the list may take from the bytes on the device; says the
    // refusals once it takes records again.
    // report: say the refusals once records are taken again (as the files are sent; a write
    // that left a little room does not end a run of refusals).
    void updateRoom(bool report);
    void reportRefusals();

    const ChannelRegistry& m_registry;
    const std::function<void()> m_written;
    const std::function<void(ListJobs&)> m_spent;
    StoreHealth m_health;
    // The spill thread's own: records of a channel that suppresses repeats.
    RepeatFilter m_repeats;

    // Guards the list and its counts; held for moves only.
    mutable std::mutex m_mutex;
    std::condition_variable m_listed;
    ListJobs m_list;
    size_t m_writing = 0;
    // Records the list may still take under the device bound.
    size_t m_room = kMaxSpilled;
    size_t m_refusedForBound = 0;
    size_t m_refusedForSpeed = 0;
    // Records may be listed before the spill thread runs: it writes them once it starts.
    bool m_finishing = false;
    bool m_writerAsleep = false;

    // Guards the files between the spill thread and the sending thread, and the set below.
    mutable std::mutex m_fileMutex;
    // Directories whose overflow file holds records not answered for.
    std::set<std::string> m_withFile;
    // Directories of the channels set up: the device bound is theirs.
    std::set<std::string> m_directories;
    // The longest line written, for the room a record is counted to need; a guess at first.
    size_t m_longestLine = 1024;
    std::thread m_writer;
};
