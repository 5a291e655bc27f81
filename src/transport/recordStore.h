// What the sending thread keeps on the device: the records a collector did not take, each with
// its count of failed deliveries, appended to its project's LocalStore; and the re-send of what
// earlier processes kept, once per project and store. Only the sending thread uses a store.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "record/handler.h"
#include "transport/channelRegistry.h"
#include "transport/deliveryOutcome.h"
#include "transport/storeHealth.h"

class RecordStore {
public:
    // Failed deliveries after which a record is dropped instead of stored.
    static constexpr int kMaxDeliveryFailures = 3;

    explicit RecordStore(const ChannelRegistry& registry);
    RecordStore(const RecordStore&) = delete;
    RecordStore& operator=(const RecordStore&) = delete;

    // The warning keepUndelivered writes for a batch that left `kept` records behind.
    static std::string undeliveredLine(size_t kept, size_t batchSize, bool answered);
    // Every record of the batch the outcome does not call accepted is stored under the channel.
    void keepUndelivered(const Batch& batch, const DeliveryOutcome& outcome,
                         const std::string& channelName);
    // Stores the records (compact JSON objects) with one more failure each, in one append.
    void keep(const std::vector<std::string>& records, const std::string& channelName);

    // Sends what earlier starts stored for the channel's project, batch by batch through
    // post, once per project; a batch leaves the store once its answer was dealt with (its
    // records accepted or stored anew). Stops at the first batch no collector answered (it
    // stays, its failures not counted), at a batch whose failures could not be stored and
    // once a shutdown cut the exchanges off.
    void resend(const Handler& channel, const std::function<DeliveryOutcome(const Batch&)>& post);

    // One log line with the number of records the store could not keep since the last one.
    void reportLosses() { m_health.reportLosses(); }

    // Sees every record handed to keep(), before its failure count is checked (tests that
    // run the library in a child process report them to the parent this way).
    using KeepObserver = std::function<void(const std::string& record, const std::string& channel)>;
    void setKeepObserver(KeepObserver observer);

private:
    bool claimResend(const std::string& directory);

    const ChannelRegistry& m_registry;
    // Serialises every use of the store files.
    std::mutex m_mutex;
    StoreHealth m_health;
    // Project directories whose re-send this store has begun: records that fail again then
    // wait for the next start instead of spending their attempts at once.
    std::set<std::string> m_claimed;
    // Stores that could not be written; a re-send stops when its batch adds one.
    size_t m_failures = 0;
    KeepObserver m_observer;
};
