// One pass of the sending thread over the records it took from the queue: each record
// completed with its channel's and the pass's fields, filtered (repeats, the switches remote
// settings set), grouped by project into batches of at most kMaxBulkBytes, each batch posted
// to its collector, and what the collector did not take handed to the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "record/handler.h"
#include "transport/channelRegistry.h"
#include "transport/deliveryOutcome.h"
#include "transport/recordStore.h"
#include "transport/repeatFilter.h"
#include "transport/transport.h"
#include "util/vesk2Utils.h"

class RecordWriter;

// The fields a pass adds to each record of the channel, over the record's own: "host" (when
// the channel reports one), "NetworkModel", "NetworkType", "logVersion", and "DeviceID" once the
// channel has one.
MapValues passFieldsOf(const Handler& channel, const std::string& hostName,
                       const std::string& networkModel);

// Why a channel's switches keep a record from the collector: no log type, or the settings'
// "deny session", "deny normal", "deny crash" (a record with "DmpData" is a crash); None sends it.
enum class Denial { None, NoLogType, Session, Normal, Crash };
Denial denialOf(const QueuedRecord& record, bool sessionEnable, bool normalEnable,
                bool crashEnable);

// Where a batch goes and under which channel its failures are stored.
struct BatchTarget {
    std::string address;
    uint16_t port = 0;
    std::string channelName;
};

class SendPass {
public:
    // A pass stops taking records once the serialised records exceed this many bytes.
    static constexpr size_t kMaxBulkBytes = 2097152;

    SendPass(const ChannelRegistry& registry, RecordStore& store, CollectorTransport& transport);

    // Completes and groups records from the front of `records` until the pass is full; the
    // records taken move to `spent`, and `taken` notes per journal the last sequence number.
    void take(ListJobs& records, ListJobs& spent, std::map<RecordJournal*, uint32_t>& taken);
    // Posts each batch taken, or with storeOnly (a shutdown) stores it; past the shutdown's
    // cut-off an exchange could not even begin, so the batch is stored then too, and so is the
    // batch of a project whose store awaits its re-send (RecordStore::holdsBack).
    void deliver(bool storeOnly);
    // Sends records an earlier process journaled and never saw dealt with, as passes would,
    // with a repeat memory of their own; a record of a channel not registered in this process
    // goes under channelName.
    void recover(std::vector<MapValues> records, const std::string& channelName);

    // Posts a batch and stores what the collector did not take.
    DeliveryOutcome send(const BatchTarget& target, const Batch& batch);

private:
    // What the pass needs of one channel, copied under the registry's lock once per pass.
    struct ChannelView {
        bool deduplicate = false;
        bool sessionEnable = false;
        bool normalEnable = false;
        bool crashEnable = false;
        std::string projectName;
        RecordJournal* journal = nullptr;
        MapValues passFields;
    };
    using View = std::map<std::string, ChannelView>;

    View takeView() const;
    // The project the record goes to, or null when it is dropped. reqBody is set whenever the
    // record could be serialised, also for records then dropped: they count towards the pass.
    const std::string* prepare(const View& view, const QueuedRecord& record, size_t index,
                               RecordWriter& writer, std::string& reqBody);
    // When several channels share a project, the one registered last decides the collector
    // and the channel its failed records are stored under.
    BatchTarget targetOf(const std::string& projectName) const;

    const ChannelRegistry& m_registry;
    RecordStore& m_store;
    CollectorTransport& m_transport;
    RepeatFilter m_repeats;
    // Batches of the current pass, by project name.
    std::map<std::string, Batch> m_batches;
};
