// One pass of the sending thread: set up new channels, complete and filter the queued records,
// group them by project and post one JSON array per project.
#include "transport/httpSender.h"

#include <mutex>
#include <string>

#include "transport/exchangeDeadline.h"
#include "transport/recordWriter.h"
#include "util/noDestructor.h"
#include "util/utilLog.h"
#include "util/utilTools.h"

namespace {
NoDestructor<std::timed_mutex> gs_mtxSvr;
NoDestructor<handlerManager> gs_handlerManager;
NoDestructor<std::string> gs_hostName;
NoDestructor<std::map<std::string, std::unique_ptr<RecordJournal>>> gs_journals;
thread_local bool t_sendingThread = false;
}  // namespace

std::timed_mutex& HttpSender::m_mtxSvr = *gs_mtxSvr;
handlerManager& HttpSender::m_handlerManager = *gs_handlerManager;
std::string& HttpSender::m_hostName = *gs_hostName;
std::map<std::string, std::unique_ptr<RecordJournal>>& HttpSender::m_journals = *gs_journals;
std::atomic<bool> HttpSender::m_SendThreadStop{false};
std::atomic<bool> HttpSender::m_initializeByThread{false};
std::atomic<bool> HttpSender::m_tlsVerify{QUILLMARK_TLS_VERIFY != 0};

HttpSender::HttpSender() : Threads::Thread(kMaxQueuedRecords) {}

HttpSender::~HttpSender() {
    // The worker calls back into this object: it must have ended before the members go.
    stop();
    join();
    // Only now: a pass of the sending thread could still have been feeding it. Without one,
    // no lock: a crash report's sender ends on a thread that may hold m_mtxSvr.
    if (!m_pPerformance) return;
    m_pPerformance->shutdown();
    std::unique_ptr<vesk2Performance> ended;
    {
        std::lock_guard lock(m_mtxSvr);
        ended = std::move(m_pPerformance);
    }
}

void HttpSender::crash_running(const MapValues&) {}

std::string HttpSender::hostName() {
    std::lock_guard lock(m_mtxSvr);
    return m_hostName;
}

bool HttpSender::onSendingThread() { return t_sendingThread; }

void HttpSender::running(ListJobs& listVals) {
    t_sendingThread = true;
    if (!m_initializeByThread) {
        get_host();
        m_initializeByThread = true;
    }
    setUpPendingChannels();
    if (listVals.empty()) return;  // held back (holdsRecordsBack): the records stay queued
    // Records the application held back and never released are kept, not sent, at the end.
    const bool storeOnly =
        ExchangeDeadline::cutOffPassed() || (stopRequested() && m_SendThreadStop);
    std::map<RecordJournal*, uint32_t> taken;
    prepareRecords(listVals, taken);
    sendBulks(storeOnly);
    // Only now: every record the pass took was delivered, stored or dropped.
    for (const auto& [journal, last] : taken) journal->markDone(last);
}

void HttpSender::setUpPendingChannels() {
    for (;;) {
        std::string name;
        {
            std::lock_guard lock(m_mtxSvr);
            if (local_list.empty()) return;
            name = local_list.front();
            local_list.pop_front();
        }
        setUpChannel(name);
    }
}

void HttpSender::setUpChannel(const std::string& handlerName) {
    Handler channel;
    if (!getHandlerSnapshot(handlerName, channel)) {
        _debug_log("get handler failed : " + handlerName);
        return;
    }
    // Before the stored records go again, so what this channel builds from now on carries
    // "DeviceID"; the copy is updated for the network-insight start below.
    channel.m_deviceID = setUpDeviceID(handlerName, channel.m_deviceIdPath);
    check_local_storage(handlerName);
    recoverJournal(handlerName);
    startNetworkInsight(channel);
    // After the settings request: its crash switch decides whether kept crashes go.
    deliverLeftoverCrashes(handlerName);
}

HttpSender::PassView HttpSender::takePassView() {
    PassView view;
    view.networkModel = UtilTools::getNetworkModel();
    std::lock_guard lock(m_mtxSvr);
    view.hostName = m_hostName;
    for (const Handler* channel : m_handlerManager) {
        ChannelView& entry = view.channels[channel->m_handlerName];
        entry.deduplicate = channel->m_isDeduplicate;
        entry.sessionEnable = channel->m_isSessionEnable;
        entry.normalEnable = channel->m_isNormalEnable;
        entry.crashEnable = channel->m_isCrashEnable;
        entry.projectName = channel->m_projectName;
        entry.journal = _journalOf(*channel);
        entry.passFields = passFieldsOf(*channel, view.hostName, view.networkModel);
    }
    return view;
}

void HttpSender::prepareRecords(ListJobs& listVals, std::map<RecordJournal*, uint32_t>& taken) {
    const size_t loopCount = listVals.size();
    size_t totalBulkSize = 0;
    const PassView view = takePassView();
    RecordWriter writer;
    std::string reqBody;
    ListJobs spent;
    for (size_t i = 0; i < loopCount && totalBulkSize <= kMaxBulkBytes; ++i) {
        spent.splice(spent.end(), listVals, listVals.begin());
        const QueuedRecord& record = spent.back();
        if (record.sequence != 0) {
            const std::string* handlerName = record.find(VESK_KEY_HANDLERNAME);
            auto channel = view.channels.find(handlerName ? *handlerName : std::string());
            if (channel != view.channels.end() && channel->second.journal != nullptr) {
                taken[channel->second.journal] = record.sequence;
            }
        }
        reqBody.clear();
        const std::string* project = prepareRecord(view, record, i, writer, reqBody);
        totalBulkSize += reqBody.size();
        if (project == nullptr) continue;
        BulkMap[*project].add(reqBody);
    }
    giveBack(spent);
}

// Sent as passes would send them, before anything this process logs and after what earlier
// starts stored; what the collector does not take is stored. Marked done only then: a crash
// before that finds them again.
void HttpSender::recoverJournal(const std::string& handlerName) {
    RecordJournal* journal = journalOf(handlerName);
    if (journal == nullptr) return;
    uint32_t last = 0;
    std::vector<MapValues> leftovers = journal->takeLeftovers(last);
    if (leftovers.empty()) return;
    ListJobs records;
    {
        std::lock_guard lock(m_mtxSvr);
        for (MapValues& record : leftovers) {
            // A channel of the same directory not registered again in this process: its
            // records go out under the channel being set up.
            if (_findChannel(getMapField(record, VESK_KEY_HANDLERNAME)) == nullptr) {
                setMapField(record, VESK_KEY_HANDLERNAME, handlerName);
            }
            records.emplace_back(std::move(record));
        }
    }
    // Repeats are suppressed among these records as their own process would have; they must
    // not suppress what this process logs, such as its session record.
    depulicationQ ownRepeats;
    ownRepeats.swap(m_depuliQ);
    // Each round takes at least one record.
    while (!records.empty()) {
        std::map<RecordJournal*, uint32_t> unjournaled;
        prepareRecords(records, unjournaled);
        sendBulks(ExchangeDeadline::cutOffPassed());
    }
    ownRepeats.swap(m_depuliQ);
    journal->markDone(last);
}

// The fields a pass adds to each record of the channel, over the record's own.
MapValues HttpSender::passFieldsOf(const Handler& channel, const std::string& hostName,
                                   const std::string& networkModel) {
    MapValues fields;
    if (channel.clientHost) {
        fields[VESK_FIX_LOGHOST] = channel.m_isEnableHost ? hostName : "-";
    }
    fields[VESK_KEY_NETWORKMODEL] = networkModel;
    fields[VESK_KEY_NETWORKTYPE] =
        networkModel.find("wlan") != std::string::npos ? "Wifi" : "Cellular";
    fields[VESK_KEY_LOGVERSION] = "v2";
    return fields;
}

// Serialises one record with the pass's fields and decides whether it travels: the project it
// goes to, or null. reqBody is set whenever the record could be serialised, also for records
// that are then dropped, because they count towards the size of the pass.
const std::string* HttpSender::prepareRecord(const PassView& view, const QueuedRecord& record,
                                             size_t index, RecordWriter& writer,
                                             std::string& reqBody) {
    const std::string* handlerName = record.find(VESK_KEY_HANDLERNAME);
    if (handlerName == nullptr || handlerName->empty()) {
        _warn_log("handlerName is null");
        return nullptr;
    }
    auto found = view.channels.find(*handlerName);
    if (found == view.channels.end()) return nullptr;
    const ChannelView& channel = found->second;

    if (!writer.append(record, channel.passFields, index, reqBody)) return nullptr;

    if (channel.deduplicate && check_duplicate(record, *handlerName)) return nullptr;
    const std::string* logType = record.find(VESK_FIX_LOGTYPE);
    if (logType == nullptr || logType->empty()) return nullptr;
    if (*logType == "SESSION" && !channel.sessionEnable) {
        _info_log("deny session");
        return nullptr;
    }
    const std::string* dump = record.find(VESK_KEY_DMPDATA);
    const bool isCrash = dump != nullptr && !dump->empty();
    if (!isCrash && !channel.normalEnable) {
        _info_log("deny normal");
        return nullptr;
    }
    if (isCrash && !channel.crashEnable) {
        _info_log("deny crash");
        return nullptr;
    }
    return &channel.projectName;
}

// Past the shutdown's cut-off an exchange could not even begin: the batch is kept instead.
void HttpSender::sendBulks(bool storeOnly) {
    std::map<std::string, Batch> bulks;
    bulks.swap(BulkMap);
    for (const auto& [project, bulk] : bulks) {
        const BulkTarget target = findBulkTarget(project);
        if (storeOnly || ExchangeDeadline::cutOffPassed()) {
            storeBatch(bulk, target.handlerName);
        } else {
            sendBulk(target, bulk);
        }
    }
}

// When several channels share a project, the one registered last decides the collector and
// the channel its failed records are stored under.
HttpSender::BulkTarget HttpSender::findBulkTarget(const std::string& projectName) {
    BulkTarget target;
    std::lock_guard lock(m_mtxSvr);
    for (const Handler* channel : m_handlerManager) {
        if (channel->m_projectName != projectName) continue;
        target.address = channel->m_Addr;
        target.protocol = channel->m_protocol;
        target.port = channel->m_Port;
        target.handlerName = channel->m_handlerName;
    }
    return target;
}

DeliveryOutcome HttpSender::sendBulk(const BulkTarget& target, const Batch& batch) {
    const DeliveryOutcome outcome =
        postToCollector(target.address, static_cast<uint16_t>(target.port), batch);
    keepUndelivered(batch, outcome, target.handlerName);
    return outcome;
}
