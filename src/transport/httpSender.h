// The sending thread: a small loop over the parts it is handed. Each pass sets up the channels
// registered since the last one (device ID, their directories' journals, the re-send of
// what earlier starts stored, the records an earlier process journaled, the settings request and
// the measuring thread, the kept crashes), then hands the records it took from the queue to the
// pass, which batches, posts and stores them, and marks them done in their journals.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "insight/vesk2Performance.h"
#include "thread/crossThread.h"
#include "transport/backlog.h"
#include "transport/channelRegistry.h"
#include "transport/crashDelivery.h"
#include "transport/deviceSending.h"
#include "transport/processSettings.h"
#include "transport/recordStore.h"
#include "transport/sendPass.h"
#include "transport/transport.h"

// What a sending thread uses; the owner of the library keeps all of it alive longer.
struct SenderParts {
    ChannelRegistry& registry;
    RecordStore& store;
    const CrashDelivery& crash;
    ProcessSettings& settings;
    TransportFactory transports;
};

class HttpSender : public Threads::Thread {
public:
    // Bound of the queue of records waiting for the sending thread; beyond it the records of
    // channels with storage go to the device (Backlog), those of send-only channels are refused.
    static constexpr int kMaxQueuedRecords = 500;
    // How long a pass runs before a full queue counts as held up by the network.
    static constexpr std::chrono::milliseconds kStalledPass{10};
    // The whole upload of one network-insight result.
    static constexpr std::chrono::milliseconds kInsightUploadTimeout{30000};

    explicit HttpSender(SenderParts parts);
    ~HttpSender() override;

    // Queues the one record of slot (see Thread::takeBlank) without allocating, journaled first
    // when its directory's journal is open (else when the sending thread opens it); a spilled
    // one (mayBeginSpilling) goes to the backlog unjournaled. False when refused.
    bool queueRecord(JournalSlot* journal, ListJobs& slot);
    bool queueRecord(JournalSlot* journal, QueuedRecord record);

    // The measuring thread, null until the first qualifying set-up; for tests, from any thread.
    const vesk2Performance* performance() const;

protected:
    void running(ListJobs& records) override;
    void initializeByThread() override { m_backlog.start(); }
    // What the backlog holds is written before the sending thread ends.
    void endingByThread() override { m_backlog.finish(); }
    // A store awaiting its re-send, or overflow files to send, at the retry's time.
    Clock::time_point ownWorkDue() const override;
    // A full queue spills only while the network (a pass running for kStalledPass, a store awaiting
    // its re-send) or the app holds records back: the device costs far more than a post.
    bool mayBeginSpilling() const override;
    bool holdsRecordsBack() const override { return m_parts.settings.holdRecords; }
    // A channel waiting for its set-up (device ID, kept crashes, the crash record's inputs)
    // gets it with the first record: a crash soon after start must find it done.
    std::chrono::milliseconds gatherWindow() const override {
        if (m_parts.registry.setUpPending()) return std::chrono::milliseconds(0);
        return std::chrono::milliseconds(m_parts.settings.batchWindowMs.load());
    }

private:
    // Opens the journals of channels registered since (file work kept off the application's
    // threads), journaling the records of their directories queued before: those of `records`
    // first, the pass's, then those still queued. A failure is logged: the records go on
    // unjournaled.
    void openJournals(ListJobs& records);
    void openWaitingJournals(ListJobs& records);
    // Device ID, the journals (openJournals with the pass's records), the store's re-send, the
    // journal's leftovers, the settings request and the measuring thread, the kept crashes.
    void setUpChannel(const std::string& name, ListJobs& records);
    // The records taken: batched, posted or stored, their journal entries marked done.
    void passRecords(ListJobs& records);
    // The overflow files, once every record queued before spilling began was dealt with and no
    // store of theirs awaits a re-send; then spilling ends when nothing is left.
    void sendBacklog(size_t inHand);
    // Hands what an earlier process journaled and never delivered to the pass.
    void recoverJournal(const std::string& name, const std::string& directory);
    // At the set-up of the first channel that is not "Corvane": creates the measuring thread
    // with that channel's identity, asks for the settings (whose URLs it is fed) and starts it.
    void startNetworkInsight(const Handler& channel);

    SenderParts m_parts;
    Backlog m_backlog;
    // Read by ownWorkDue under the queue's lock, so atomics.
    std::atomic<bool> m_storeAwaits{false};
    std::atomic<bool> m_backlogReady{false};
    // Steady-clock ns the pass under way began at (at first: construction); 0 between passes.
    std::atomic<int64_t> m_passBeganNs{0};
    DeviceSending m_deviceSending;
    // Made on the sending thread's first pass: a transport belongs to one thread.
    std::unique_ptr<CollectorTransport> m_transport;
    std::unique_ptr<SendPass> m_pass;
    bool m_hostLookedUp = false;
    // Created once per sender; while it could not be created, the next qualifying set-up
    // tries again (settings request included). Stopped and joined before it is deleted; set
    // and reset under m_performanceMutex so others may look at it.
    mutable std::mutex m_performanceMutex;
    std::unique_ptr<vesk2Performance> m_pPerformance;
};
