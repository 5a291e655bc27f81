#include "transport/sendPass.h"

#include <exception>
#include <string>
#include <utility>

#include "transport/batchDelivery.h"
#include "transport/exchangeDeadline.h"
#include "transport/recordWriter.h"
#include "util/utilLog.h"
#include "util/utilTools.h"

MapValues passFieldsOf(const Handler& channel, const std::string& hostName,
                       const std::string& networkModel) {
    MapValues fields;
    if (channel.clientHost) {
        fields[VESK_FIX_LOGHOST] = channel.m_isEnableHost ? hostName : "-";
    }
    fields[VESK_KEY_NETWORKMODEL] = networkModel;
    fields[VESK_KEY_NETWORKTYPE] =
        networkModel.find("wlan") != std::string::npos ? "Wifi" : "Cellular";
    fields[VESK_KEY_LOGVERSION] = "v2";
    // The sending thread reads or makes the ID at the channel's set-up: records queued before
    // it (the session record, what the app logs in its first milliseconds) carry it too.
    if (!channel.m_deviceID.empty()) fields[VESK_KEY_DEVICEID] = channel.m_deviceID;
    return fields;
}

Denial denialOf(const QueuedRecord& record, bool sessionEnable, bool normalEnable,
                bool crashEnable) {
    const std::string* logType = record.find(VESK_FIX_LOGTYPE);
    if (logType == nullptr || logType->empty()) return Denial::NoLogType;
    if (*logType == "SESSION" && !sessionEnable) return Denial::Session;
    const std::string* dump = record.find(VESK_KEY_DMPDATA);
    const bool isCrash = dump != nullptr && !dump->empty();
    if (!isCrash && !normalEnable) return Denial::Normal;
    if (isCrash && !crashEnable) return Denial::Crash;
    return Denial::None;
}

SendPass::SendPass(const ChannelRegistry& registry, RecordStore& store,
                   CollectorTransport& transport)
    : m_registry(registry), m_store(store), m_transport(transport) {}

SendPass::View SendPass::takeView() const {
    View view;
    const std::string networkModel = UtilTools::getNetworkModel();
    const std::string hostName = m_registry.hostName();
    m_registry.forEach([&](const Handler& channel, RecordJournal* journal) {
        ChannelView& entry = view[channel.m_handlerName];
        entry.deduplicate = channel.m_isDeduplicate;
        entry.sessionEnable = channel.m_isSessionEnable;
        entry.normalEnable = channel.m_isNormalEnable;
        entry.crashEnable = channel.m_isCrashEnable;
        entry.projectName = channel.m_projectName;
        entry.journal = journal;
        entry.passFields = passFieldsOf(channel, hostName, networkModel);
    });
    return view;
}

void SendPass::take(ListJobs& records, ListJobs& spent, std::map<RecordJournal*, uint32_t>& taken) {
    const size_t count = records.size();
    size_t totalBytes = 0;
    const View view = takeView();
    RecordWriter writer;
    std::string reqBody;
    for (size_t i = 0; i < count && totalBytes <= kMaxBulkBytes; ++i) {
        spent.splice(spent.end(), records, records.begin());
        const QueuedRecord& record = spent.back();
        if (record.sequence != 0) {
            const std::string* channelName = record.find(VESK_KEY_HANDLERNAME);
            auto channel = view.find(channelName ? *channelName : std::string());
            if (channel != view.end() && channel->second.journal != nullptr) {
                taken[channel->second.journal] = record.sequence;
            }
        }
        reqBody.clear();
        const std::string* project = prepare(view, record, i, writer, reqBody);
        totalBytes += reqBody.size();
        if (project == nullptr) continue;
        m_batches[*project].add(reqBody);
    }
}

const std::string* SendPass::prepare(const View& view, const QueuedRecord& record, size_t index,
                                     RecordWriter& writer, std::string& reqBody) {
    const std::string* channelName = record.find(VESK_KEY_HANDLERNAME);
    if (channelName == nullptr || channelName->empty()) {
        _warn_log("handlerName is null");
        return nullptr;
    }
    auto found = view.find(*channelName);
    if (found == view.end()) return nullptr;
    const ChannelView& channel = found->second;

    if (!writer.append(record, channel.passFields, index, reqBody)) return nullptr;

    if (channel.deduplicate && m_repeats.isRepeat(record, *channelName)) return nullptr;
    switch (denialOf(record, channel.sessionEnable, channel.normalEnable, channel.crashEnable)) {
        case Denial::None:
            return &channel.projectName;
        case Denial::NoLogType:
            return nullptr;
        case Denial::Session:
            _info_log("deny session");
            return nullptr;
        case Denial::Normal:
            _info_log("deny normal");
            return nullptr;
        case Denial::Crash:
            _info_log("deny crash");
            return nullptr;
    }
    return nullptr;
}

void SendPass::deliver(bool storeOnly) {
    std::map<std::string, Batch> batches;
    batches.swap(m_batches);
    for (const auto& [project, batch] : batches) {
        const BatchTarget target = targetOf(project);
        if (storeOnly || ExchangeDeadline::cutOffPassed()) {
            m_store.keepUndelivered(batch,
                                    DeliveryOutcome::all(batch.size(), RecordOutcome::NotAnswered),
                                    target.channelName);
        } else if (m_store.holdsBack(target.channelName)) {
            // Older records of the project wait in the store: these go behind them.
            m_store.keepHeldBack(batch, target.channelName);
        } else {
            send(target, batch);
        }
    }
}

BatchTarget SendPass::targetOf(const std::string& projectName) const {
    BatchTarget target;
    m_registry.forEach([&](const Handler& channel, RecordJournal*) {
        if (channel.m_projectName != projectName) return;
        target.address = channel.m_Addr;
        target.port = channel.m_Port;
        target.channelName = channel.m_handlerName;
    });
    return target;
}

DeliveryOutcome SendPass::send(const BatchTarget& target, const Batch& batch) {
    const DeliveryOutcome outcome = deliverBatch(m_transport, target.address, target.port, batch);
    try {
        m_store.keepUndelivered(batch, outcome, target.channelName);
    } catch (const std::exception& failure) {
        // Out of memory, say: a second try may find room. A second failure ends the pass
        // (HttpSender::running), its records left in the journal.
        _error_log(std::string("[store] keeping a batch failed, trying once more: ") +
                   failure.what());
        m_store.keepUndelivered(batch, outcome, target.channelName);
    }
    return outcome;
}

// Sent before anything this process logs and after what earlier starts stored; what the
// collector does not take is stored. Repeats are suppressed among these records as their own
// process would have; they must not suppress what this process logs, such as its session
// record.
void SendPass::recover(std::vector<MapValues> records, const std::string& channelName) {
    ListJobs queued;
    for (MapValues& record : records) {
        auto name = record.find(VESK_KEY_HANDLERNAME);
        if (name == record.end() || !m_registry.contains(name->second)) {
            record[VESK_KEY_HANDLERNAME] = channelName;
        }
        queued.emplace_back(std::move(record));
    }
    RepeatFilter ownRepeats;
    ownRepeats.swap(m_repeats);
    // Each round takes at least one record.
    while (!queued.empty()) {
        ListJobs spent;
        std::map<RecordJournal*, uint32_t> unjournaled;
        take(queued, spent, unjournaled);
        deliver(ExchangeDeadline::cutOffPassed());
    }
    ownRepeats.swap(m_repeats);
}
