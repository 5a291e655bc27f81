#include "transport/recordStore.h"

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "transport/exchangeDeadline.h"
#include "transport/localStore.h"
#include "transport/storeLock.h"
#include "util/jsonText.h"
#include "util/utilLog.h"

namespace {

const char* const kErrorRate = "errorRate";
// A store that was busy a moment ago is not waited for again in the same pass.
constexpr std::chrono::milliseconds kRetryAfter{200};

// The failures a stored record already had: the leading decimal number of its "errorRate"
// text, as it was always written. A count below zero would let a record come back for ever,
// so it counts as none.
long long failuresSoFar(const Json::Value& errorRate) {
    if (!errorRate.isString() && !errorRate.isIntegral()) return 0;
    const std::string text = errorRate.asString();
    const long long count = std::strtoll(text.c_str(), nullptr, 10);
    if (count < 0) return 0;
    return count > RecordStore::kMaxDeliveryFailures ? RecordStore::kMaxDeliveryFailures : count;
}

enum class Stored { Line, OverFailureCap, NotAnObject };

// The stored line, without line end, for a record that failed once more (or, not offered, as
// many times as before).
Stored withOneMoreFailure(const std::string& message, std::string& line, bool offered) {
    Json::Value record;
    try {
        if (!jsonText::parse(message, record) || !record.isObject()) return Stored::NotAnObject;
    } catch (const std::exception&) {
        return Stored::NotAnObject;  // nested beyond the reader's depth limit
    }
    const long long count = failuresSoFar(record[kErrorRate]) + (offered ? 1 : 0);
    if (count > RecordStore::kMaxDeliveryFailures) return Stored::OverFailureCap;
    record[kErrorRate] = std::to_string(count);
    line = jsonText::writeCompact(record);
    while (!line.empty() && line.back() == '\n') line.pop_back();
    return line.empty() ? Stored::NotAnObject : Stored::Line;
}

// Stored values are texts; anything else was put there by hand and travels as its JSON text.
std::string flatText(const Json::Value& value) {
    if (value.isString()) return value.asString();
    if (value.isNull()) return std::string();
    if (!value.isArray() && !value.isObject()) return value.asString();
    std::string text = jsonText::writeCompact(value);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

Json::Value flatRecord(const std::string& line) {
    Json::Value stored;
    jsonText::parse(line, stored);
    Json::Value flat(Json::objectValue);
    for (const std::string& key : stored.getMemberNames()) {
        if (key == VESK_KEY_HANDLERNAME) continue;
        flat[key] = flatText(stored[key]);
    }
    return flat;
}

}  // namespace

// One JSON array of flat objects, joined the way the send loop joins a batch.
Batch RecordStore::storedBatch(const std::vector<std::string>& lines) {
    Batch batch;
    for (const std::string& line : lines) {
        std::string object = jsonText::writeCompact(flatRecord(line));
        if (!object.empty() && object.back() == '\n') object.pop_back();
        batch.add(object);
    }
    return batch;
}

RecordStore::RecordStore(const ChannelRegistry& registry) : m_registry(registry) {}

std::string RecordStore::undeliveredLine(size_t kept, size_t batchSize, bool answered) {
    return "[store] " + std::to_string(kept) + " of " + std::to_string(batchSize) +
           " records not delivered (" + (answered ? "refused" : "no answer") + "), kept";
}

// One line a batch: a stalled collector must not fill the log record by record.
void RecordStore::keepUndelivered(const Batch& batch, const DeliveryOutcome& outcome,
                                  const std::string& channelName) {
    keepBatch(batch, outcome, channelName, true);
}

void RecordStore::keepBatch(const Batch& batch, const DeliveryOutcome& outcome,
                            const std::string& channelName, bool mayWait) {
    std::vector<std::string> kept;
    for (size_t i = 0; i < batch.size(); ++i) {
        if (i < outcome.records.size() && outcome.records[i] == RecordOutcome::Accepted) continue;
        kept.push_back(batch.record(i));
    }
    if (kept.empty()) return;
    _warn_log(undeliveredLine(kept.size(), batch.size(), outcome.collectorAnswered));
    keepRecords(kept, channelName, mayWait, !outcome.collectorAnswered);
}

void RecordStore::keepHeldBack(const Batch& batch, const std::string& channelName) {
    std::vector<std::string> records;
    for (size_t i = 0; i < batch.size(); ++i) records.push_back(batch.record(i));
    keepRecords(records, channelName, true, true, false);
}

void RecordStore::setKeepObserver(KeepObserver observer) {
    std::lock_guard lock(m_mutex);
    m_observer = std::move(observer);
}

void RecordStore::keep(const std::vector<std::string>& records, const std::string& channelName) {
    keepRecords(records, channelName, true);
}

void RecordStore::keepRecords(const std::vector<std::string>& records,
                              const std::string& channelName, bool mayWait, bool unanswered,
                              bool offered) {
    KeepObserver observer;
    {
        std::lock_guard lock(m_mutex);
        observer = m_observer;
    }
    if (observer) {
        for (const std::string& record : records) observer(record, channelName);
    }
    std::vector<std::string> lines;
    size_t overCap = 0;
    for (const std::string& record : records) {
        std::string line;
        switch (withOneMoreFailure(record, line, offered)) {
            case Stored::Line:
                lines.push_back(std::move(line));
                break;
            case Stored::OverFailureCap:
                ++overCap;
                break;
            case Stored::NotAnObject:
                _error_log("[store] not a record, not kept");
                break;
        }
    }
    if (overCap > 0) {
        _error_log("[store] cap of " + std::to_string(kMaxDeliveryFailures) +
                   " failed deliveries: dropped " + std::to_string(overCap) + " records");
    }
    if (lines.empty()) return;
    Handler channel;
    // A channel without a directory runs in send-only mode (or is gone): nothing to keep.
    if (!m_registry.snapshot(channelName, channel) || channel.m_directoryPath.empty()) {
        ++m_failures;
        return;
    }
    std::lock_guard lock(m_mutex);
    if (unanswered) m_awaiting.insert(channel.m_directoryPath);
    std::vector<std::string>& waiting = m_waiting[channel.m_directoryPath];
    // Older lines first, as they came.
    waiting.insert(waiting.end(), std::make_move_iterator(lines.begin()),
                   std::make_move_iterator(lines.end()));
    switch (LocalStore(channel.m_directoryPath, m_health).append(waiting)) {
        case LocalStore::Appended::Written:
            break;
        case LocalStore::Appended::NotWritten:
            ++m_failures;
            // A store that cannot be written holds nothing to send again: newer records go on
            // to the collector instead of into it.
            m_awaiting.erase(channel.m_directoryPath);
            break;
        case LocalStore::Appended::Busy:
            m_busyAt = std::chrono::steady_clock::now();
            if (mayWait) {
                boundWaiting(waiting);
                return;
            }
            ++m_failures;
            waiting.resize(waiting.size() - lines.size());
            if (!waiting.empty()) return;
            break;
    }
    m_waiting.erase(channel.m_directoryPath);
}

// As the store itself would: beyond its bound the oldest lines go, with the store's log line.
void RecordStore::boundWaiting(std::vector<std::string>& waiting) {
    uint64_t bytes = 0;
    for (const std::string& line : waiting) bytes += line.size() + 1;
    size_t dropped = 0;
    while (bytes > LocalStore::kMaxStoreBytes && dropped < waiting.size()) {
        bytes -= waiting[dropped++].size() + 1;
    }
    if (dropped == 0) return;
    waiting.erase(waiting.begin(), waiting.begin() + static_cast<std::ptrdiff_t>(dropped));
    LocalStore::logByteCapDrop(dropped);
}

bool RecordStore::keepWaiting() {
    std::lock_guard lock(m_mutex);
    if (m_waiting.empty()) return true;
    if (std::chrono::steady_clock::now() - m_busyAt < kRetryAfter) return false;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        const LocalStore::Appended appended = LocalStore(it->first, m_health).append(it->second);
        if (appended == LocalStore::Appended::Busy) {
            m_busyAt = std::chrono::steady_clock::now();
            ++it;
            continue;
        }
        if (appended == LocalStore::Appended::NotWritten) ++m_failures;
        it = m_waiting.erase(it);
    }
    return m_waiting.empty();
}

bool RecordStore::claimResend(const std::string& directory) {
    std::lock_guard lock(m_mutex);
    return m_claimed.insert(directory).second;
}

void RecordStore::resend(const Handler& channel,
                         const std::function<DeliveryOutcome(const Batch&)>& post) {
    if (channel.m_directoryPath.empty() || !claimResend(channel.m_directoryPath)) return;
    // Held to the end: another process that starts meanwhile leaves the re-send to this one.
    const FileLock owner = takeResendLock(channel.m_directoryPath, m_health);
    if (!owner.mayProceed()) {
        _info_log("[store] another process sends the stored records of " + channel.m_directoryPath);
        return;
    }
    LocalStore store(channel.m_directoryPath, m_health);
    try {
        {
            std::lock_guard lock(m_mutex);
            if (!store.claim()) return;
        }
        if (resendClaimed(store, channel, post) != Resent::NoAnswer) return;
        std::lock_guard lock(m_mutex);
        m_awaiting.insert(channel.m_directoryPath);
    } catch (const std::exception&) {
        _error_log("[check_local_storage] stored records not read");
    }
}

RecordStore::Resent RecordStore::resendClaimed(
    LocalStore& store, const Handler& channel,
    const std::function<DeliveryOutcome(const Batch&)>& post) {
    std::vector<std::string> lines;
    bool refusals = false;
    for (;;) {
        if (ExchangeDeadline::cutOffPassed()) return Resent::Stopped;
        {
            std::lock_guard lock(m_mutex);
            if (!store.nextBatch(lines)) return refusals ? Resent::Refusals : Resent::Done;
        }
        const size_t failuresBefore = m_failures;
        const Batch batch = storedBatch(lines);
        const DeliveryOutcome outcome = post(batch);
        // No collector answered: the next batches would only wait out their deadlines too,
        // and a start that reached none is no failure of the records. The batch stays
        // where it is, its failures uncounted, for the next attempt.
        if (!outcome.collectorAnswered) {
            _warn_log("[store] no answer to the re-send: " + std::to_string(batch.size()) +
                      " and later stored records wait for the next attempt");
            return Resent::NoAnswer;
        }
        for (size_t i = 0; i < batch.size(); ++i) {
            refusals = refusals || i >= outcome.records.size() ||
                       outcome.records[i] != RecordOutcome::Accepted;
        }
        keepBatch(batch, outcome, channel.m_handlerName, false);
        if (m_failures != failuresBefore) return Resent::Stopped;
        std::lock_guard lock(m_mutex);
        if (!store.confirmBatch()) return Resent::Stopped;
    }
}

std::vector<std::string> RecordStore::awaitingResend() const {
    std::lock_guard lock(m_mutex);
    return std::vector<std::string>(m_awaiting.begin(), m_awaiting.end());
}

bool RecordStore::awaitsResend() const {
    std::lock_guard lock(m_mutex);
    return !m_awaiting.empty();
}

bool RecordStore::holdsBack(const std::string& channelName) const {
    Handler channel;
    if (!m_registry.snapshot(channelName, channel) || channel.m_directoryPath.empty()) {
        return false;
    }
    std::lock_guard lock(m_mutex);
    return m_awaiting.count(channel.m_directoryPath) != 0;
}

bool RecordStore::resendAwaiting(const Handler& channel,
                                 const std::function<DeliveryOutcome(const Batch&)>& post) {
    const std::string& directory = channel.m_directoryPath;
    const FileLock owner = takeResendLock(directory, m_health);
    if (!owner.mayProceed()) return false;
    LocalStore store(directory, m_health);
    try {
        for (;;) {
            {
                std::lock_guard lock(m_mutex);
                if (!store.claim()) break;
            }
            const Resent resent = resendClaimed(store, channel, post);
            if (resent == Resent::NoAnswer) return false;
            // Refused records wait for a later re-send; a store that could not take a batch's
            // failures, or a shutdown, leaves the rest for the next start.
            if (resent != Resent::Done) break;
        }
    } catch (const std::exception&) {
        _error_log("[check_local_storage] stored records not read");
        return false;
    }
    std::lock_guard lock(m_mutex);
    m_awaiting.erase(directory);
    return true;
}
