#include "transport/httpSender.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "transport/batchDelivery.h"
#include "transport/deviceIdentity.h"
#include "transport/exchangeDeadline.h"
#include "transport/remoteSettings.h"
#include "util/collectorAddress.h"
#include "util/utilLog.h"
#include "util/utilTools.h"

namespace {

// The upload of one result: through a transport of the measuring thread's own, made at its
// first upload and gone with the measuring thread.
vesk2Performance::Upload insightUpload(const TransportFactory& transports) {
    auto transport = std::make_shared<std::unique_ptr<CollectorTransport>>();
    return [transport, transports](const std::string& address, uint16_t port,
                                   const std::string& body, const std::atomic<bool>& abandon) {
        const std::optional<CollectorAddress> collector = parseCollectorAddress(address, port);
        if (!collector) return;
        if (!*transport && transports) *transport = transports();
        if (!*transport) return;
        CollectorRequest request;
        request.target = *collector;
        request.path = kLogPath;
        request.body = &body;
        (*transport)
            ->exchange(request, ExchangeDeadline(HttpSender::kInsightUploadTimeout, &abandon));
    };
}

}  // namespace

HttpSender::HttpSender(SenderParts parts)
    : Threads::Thread(kMaxQueuedRecords),
      m_parts(std::move(parts)),
      m_backlog(
          m_parts.registry,
          [this] {
              m_backlogReady = true;
              wake();
          },
          [this](ListJobs& spent) { giveBack(spent); }),
      m_deviceSending(m_parts.registry, m_parts.store, m_backlog) {
    setSpillTarget(&m_backlog);
    // Until the first pass (the set-up) ends, a full queue is held up as behind a stalled pass.
    m_passBeganNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count();
}

HttpSender::~HttpSender() {
    // The worker calls back into this object: it must have ended before the members go.
    stop();
    join();
    if (!m_pPerformance) return;
    m_pPerformance->shutdown();
    std::unique_ptr<vesk2Performance> ended;
    {
        std::lock_guard lock(m_performanceMutex);
        ended = std::move(m_pPerformance);
    }
}

bool HttpSender::queueRecord(JournalSlot* journal, QueuedRecord record) {
    ListJobs slot;
    slot.push_back(std::move(record));
    return queueRecord(journal, slot);
}

bool HttpSender::queueRecord(JournalSlot* journal, ListJobs& slot) {
    if (journal == nullptr || slot.size() != 1) return push(slot);
    // While spilling, the journal's copy would only be thrown away.
    Pushed pushed = spillIfSpilling(slot);
    if (pushed != Pushed::NotSpilling) return pushed == Pushed::Spilled;
    // A spilled record's entry is not committed: its overflow file keeps it, and a record kept
    // twice would arrive twice after a crash.
    journal->appendAndPush(slot.front(), [this, &slot, &pushed] {
        pushed = pushOrSpill(slot);
        return pushed == Pushed::Queued;
    });
    return pushed != Pushed::Refused;
}

Threads::Thread::Clock::time_point HttpSender::ownWorkDue() const {
    if (!m_storeAwaits && !m_backlogReady) return Clock::time_point::max();
    return m_deviceSending.retryAt();
}

void HttpSender::sendBacklog(size_t inHand) {
    if (!spilling()) return;
    // The records before them come first; a pass that deals with them comes here again.
    const bool olderFirst = m_storeAwaits || !olderRecordsDealtWith(inHand);
    // Put off: a pass without records comes at the retry's time.
    m_backlogReady = !olderFirst && !m_deviceSending.retryDue();
    if (olderFirst || m_backlogReady) return;
    if (m_backlog.hasFiles() &&
        m_deviceSending.sendFiles(*m_transport) != Backlog::Sent::Everything) {
        m_backlogReady = true;
        return;
    }
    // Records written meanwhile make the spill thread report again (m_backlogReady).
    endSpilling([this] { return m_backlog.drained(); });
}

const vesk2Performance* HttpSender::performance() const {
    std::lock_guard lock(m_performanceMutex);
    return m_pPerformance.get();
}

namespace {

int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Marks the pass under way for mayBeginSpilling, from its start to its end.
struct PassUnderWay {
    explicit PassUnderWay(std::atomic<int64_t>& at) : began(at) { began = steadyNs(); }
    ~PassUnderWay() { began = 0; }
    std::atomic<int64_t>& began;
};

}  // namespace

bool HttpSender::mayBeginSpilling() const {
    if (m_parts.settings.holdRecords || m_storeAwaits) return true;
    const int64_t began = m_passBeganNs.load();
    return began != 0 && steadyNs() - began >= std::chrono::nanoseconds(kStalledPass).count();
}

void HttpSender::running(ListJobs& records) {
    const PassUnderWay underWay(m_passBeganNs);
    if (!m_transport) {
        m_transport = m_parts.transports ? m_parts.transports() : nullptr;
        if (m_transport) {
            m_pass = std::make_unique<SendPass>(m_parts.registry, m_parts.store, *m_transport);
        }
    }
    if (!m_transport) {
        // Nothing can send: the records wait in the queue, journaled meanwhile.
        openJournals(records);
        return;
    }
    if (!m_hostLookedUp) {
        try {
            m_parts.registry.setHostName(UtilTools::getHostName());
        } catch (const std::exception&) {
            // The host name stays as it was.
        }
        m_hostLookedUp = true;
    }
    bool awaited = m_parts.store.awaitsResend();
    // A store left awaiting its re-send by a set-up or a pass puts the re-send off, as one that
    // got no answer would.
    const auto noteAwaiting = [&] {
        const bool awaits = m_parts.store.awaitsResend();
        if (awaits && !awaited) m_deviceSending.noteAttempt(false);
        awaited = awaits;
        m_storeAwaits = awaits;
    };
    std::string name;
    while (m_parts.registry.takeSetUp(name)) {
        // Out of memory, or a reader meeting a file it cannot take: the channel's earlier records
        // wait for the next start, and this one's go on.
        try {
            setUpChannel(name, records);
        } catch (const std::exception& failure) {
            _error_log("[setUpChannel] " + name + " not set up in full: " + failure.what());
        }
    }
    // Also those of channels whose set-up stopped before it opened them.
    openJournals(records);
    // A drain sends what is queued; stores and overflow files wait for the next start.
    const bool draining = stopRequested();
    noteAwaiting();
    if (!draining && m_deviceSending.retryDue()) m_deviceSending.resendAwaiting(*m_transport);
    awaited = m_parts.store.awaitsResend();
    // Held back (holdsRecordsBack): the records stay queued.
    if (!records.empty()) passRecords(records);
    noteAwaiting();
    if (!draining) sendBacklog(records.size());
}

void HttpSender::passRecords(ListJobs& records) {
    // Records the application held back and never released are kept, not sent, at the end.
    const bool storeOnly =
        ExchangeDeadline::cutOffPassed() || (stopRequested() && m_parts.settings.holdRecords);
    std::map<RecordJournal*, uint32_t> taken;
    ListJobs spent;
    try {
        m_pass->take(records, spent, taken);
        giveBack(spent);
        m_pass->deliver(storeOnly);
    } catch (const std::exception& failure) {
        // Taking the records, or storing a batch twice over (SendPass::send), failed. Not marked
        // done, the pass's records stay in the journal until a next pass marks past them.
        _error_log(std::string("[send] pass cut short, records may not be kept: ") +
                   failure.what());
        return;
    }
    // A store another process keeps busy holds the pass's failures in memory: their entries
    // stay undone until a later pass wrote them, so a kill meanwhile does not take them.
    if (!m_parts.store.keepWaiting()) return;
    // Only now: every record the pass took was delivered, stored or dropped.
    for (const auto& [journal, last] : taken) journal->markDone(last);
}

void HttpSender::openJournals(ListJobs& records) {
    if (!m_parts.registry.journalsPending()) return;
    try {
        openWaitingJournals(records);
    } catch (const std::exception& failure) {
        _error_log(std::string("[journal] not opened in full: ") + failure.what());
    }
}

void HttpSender::openWaitingJournals(ListJobs& records) {
    m_parts.registry.openJournals([&](const JournalSlot& slot, RecordJournal& journal) {
        // The journal's mutex outside the queue's, in the order sendLog takes them.
        journal.appendEach([&](const auto& append) {
            auto journalWaiting = [&](QueuedRecord& record) {
                if (record.awaits != &slot) return;
                record.awaits = nullptr;
                append(record);
            };
            for (QueuedRecord& record : records) journalWaiting(record);
            forEachQueued(journalWaiting);
        });
    });
}

void HttpSender::setUpChannel(const std::string& name, ListJobs& records) {
    Handler channel;
    if (!m_parts.registry.snapshot(name, channel)) return;
    // Before the stored records go again, so what this channel builds from now on carries
    // "DeviceID"; first of all, since a crash soon after the start carries it too.
    channel.m_deviceID = loadDeviceId(channel.m_deviceIdPath);
    m_parts.registry.update(name, [&](Handler& kept) { kept.m_deviceID = channel.m_deviceID; });
    // Before anything is read back or sent: from here on what is queued survives a kill.
    openJournals(records);
    // Before the re-send, which may wait out a stalled collector while records spill: the
    // device bound counts this directory's files from here on. What the last run spilled goes
    // after its store and journal, and later records behind it.
    if (m_backlog.adopt(channel.m_directoryPath)) beginSpilling();
    const BatchTarget target{channel.m_Addr, channel.m_Port, name};
    m_parts.store.resend(channel, [this, &target](const Batch& batch) {
        return deliverBatch(*m_transport, target.address, target.port, batch);
    });
    recoverJournal(name, channel.m_directoryPath);
    startNetworkInsight(channel);
    // After the settings request: its crash switch decides whether kept crashes go.
    if (name == VESK_CHANNEL_USER) m_parts.crash.deliverKept(*m_transport);
}

// Marked done only once sent or stored: a crash before that finds them again.
void HttpSender::recoverJournal(const std::string& name, const std::string& directory) {
    const JournalSlot* slot = m_parts.registry.journalOf(name);
    RecordJournal* own = slot != nullptr ? slot->journal() : nullptr;
    const auto recoverFrom = [this, &name](RecordJournal& journal) {
        uint32_t last = 0;
        std::vector<MapValues> leftovers = journal.takeLeftovers(last);
        if (leftovers.empty()) return;
        m_pass->recover(std::move(leftovers), name);
        if (m_parts.store.keepWaiting()) journal.markDone(last);
    };
    if (own != nullptr) recoverFrom(*own);
    if (directory.empty()) return;
    // The journals of processes that ended (a second process of the app that crashed): held
    // while their records go, so a process starting meanwhile does not take them as well.
    for (size_t index = 0; index < RecordJournal::kFiles; ++index) {
        if (own != nullptr && index == own->index()) continue;
        const std::unique_ptr<RecordJournal> idle = RecordJournal::openIdle(directory, index);
        if (idle) recoverFrom(*idle);
    }
}

// The jobs are queued by the settings request before start(), so the thread's first pass
// measures them all.
void HttpSender::startNetworkInsight(const Handler& channel) {
    if (channel.m_isCorvane || m_pPerformance) return;
    std::unique_ptr<vesk2Performance> created(new (std::nothrow) vesk2Performance());
    if (created) {
        // The host of the records follows the channel's host switches, as its own records do.
        const std::string host = !channel.clientHost      ? std::string()
                                 : channel.m_isEnableHost ? m_parts.registry.hostName()
                                                          : "-";
        created->initPerformance(channel.m_Addr, channel.m_Port, channel.m_projectName,
                                 channel.m_projectVersion, channel.m_logSource, host,
                                 channel.m_deviceID, channel.m_sdkVersion, channel.m_sessionID,
                                 channel.m_deviceModel, insightUpload(m_parts.transports));
    }
    RemoteSettings settings(m_parts.registry, *m_transport, m_parts.settings.settingsEndpoints());
    const std::vector<std::string> urls =
        settings.fetchAndApply(channel.m_Addr, channel.m_projectName);
    if (!created) {
        _warn_log("start failed");
        return;
    }
    for (size_t i = 0; i < urls.size(); ++i) {
        // A full queue stays full until the thread starts: the rest would be refused too.
        if (!created->push(MapValues{{std::to_string(i), urls[i]}})) break;
    }
    created->start();
    std::lock_guard lock(m_performanceMutex);
    m_pPerformance = std::move(created);
}
