// What the sending thread keeps on the device: the records a collector did not take, each with
// its count of failed deliveries, appended to its project's LocalStore; and the re-send of what
// earlier processes kept, once per project and store, by one of the processes that share the
// storage folder. Only the sending thread uses a store.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "record/handler.h"
#include "transport/channelRegistry.h"
#include "transport/deliveryOutcome.h"
#include "transport/localStore.h"
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
    // Stores a batch held back behind a re-send (holdsBack) as it is: it was never offered, so
    // no failure is counted.
    void keepHeldBack(const Batch& batch, const std::string& channelName);
    // Stores the records (compact JSON objects) with one more failure each, in one append.
    // While another process keeps the store busy they wait in memory for keepWaiting().
    void keep(const std::vector<std::string>& records, const std::string& channelName);
    // Appends what waits for a busy store; true when nothing waits any more. Until then the
    // caller leaves the records' journal entries undone, so a kill does not take them.
    bool keepWaiting();

    // Sends what earlier starts stored for the channel's project, batch by batch through
    // post, once per project, unless another process sends them (it holds the re-send's lock
    // for the whole re-send); a batch leaves the store once its answer was dealt with (its
    // records accepted or stored anew). Stops at the first batch no collector answered (it
    // stays, its failures not counted), at a batch whose failures could not be stored and
    // once a shutdown cut the exchanges off; a store busy in another process ends it too, the
    // rest left for a later start.
    void resend(const Handler& channel, const std::function<DeliveryOutcome(const Batch&)>& post);

    // Directories whose store holds records no collector answered for (a failed exchange's, or
    // a re-send's that got none): sent again in this run before newer records (holdsBack).
    std::vector<std::string> awaitingResend() const;
    bool awaitsResend() const;
    bool holdsBack(const std::string& channelName) const;
    // Sends the channel's store again, claim after claim, until empty or a batch is refused in
    // part (its records wait: attempts are not used up at once); false: no answer, or busy.
    bool resendAwaiting(const Handler& channel,
                        const std::function<DeliveryOutcome(const Batch&)>& post);
    // The batch a stored line is sent in: the lines as flat objects, in one JSON array.
    static Batch storedBatch(const std::vector<std::string>& lines);

    // One log line with the number of records the store could not keep since the last one.
    void reportLosses() { m_health.reportLosses(); }

    // Sees every record handed to keep(), before its failure count is checked (tests that
    // run the library in a child process report them to the parent this way).
    using KeepObserver = std::function<void(const std::string& record, const std::string& channel)>;
    void setKeepObserver(KeepObserver observer);

private:
    bool claimResend(const std::string& directory);
    // mayWait: a busy store keeps the lines in memory; otherwise it counts as a failure (a
    // re-send's batch then stays in the re-send instead).
    void keepBatch(const Batch& batch, const DeliveryOutcome& outcome,
                   const std::string& channelName, bool mayWait);
    // unanswered: no collector answered for them, so the project awaits a re-send.
    void keepRecords(const std::vector<std::string>& records, const std::string& channelName,
                     bool mayWait, bool unanswered = false, bool offered = true);
    enum class Resent { Done, Refusals, NoAnswer, Stopped };
    // One claimed file sent batch by batch.
    Resent resendClaimed(LocalStore& store, const Handler& channel,
                         const std::function<DeliveryOutcome(const Batch&)>& post);
    static void boundWaiting(std::vector<std::string>& waiting);

    const ChannelRegistry& m_registry;
    // Serialises every use of the store files.
    mutable std::mutex m_mutex;
    StoreHealth m_health;
    // Project directories whose re-send this store has begun: records that fail again then
    // wait for the next start instead of spending their attempts at once.
    std::set<std::string> m_claimed;
    // Directories whose store awaits a re-send in this run (awaitingResend).
    std::set<std::string> m_awaiting;
    // Stores that could not be written; a re-send stops when its batch adds one.
    size_t m_failures = 0;
    // Lines (one more failure counted) whose store was busy, per project directory.
    std::map<std::string, std::vector<std::string>> m_waiting;
    // When an append last gave up on a busy store: a pass that just waited it out does not
    // wait again at its end.
    std::chrono::steady_clock::time_point m_busyAt;
    KeepObserver m_observer;
};
