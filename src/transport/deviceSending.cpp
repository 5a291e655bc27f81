#include "transport/deviceSending.h"

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "transport/batchDelivery.h"

void DeviceSending::noteAttempt(bool answered) {
    if (answered) {
        m_retryDelay = kFirstRetry;
        m_retryAt = 0;
        return;
    }
    const Clock::time_point at = Clock::now() + m_retryDelay;
    m_retryAt = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
    m_retryDelay = std::min(m_retryDelay * 2, kMaxRetry);
}

bool DeviceSending::channelOf(const std::string& directory, Handler& channel) const {
    bool found = false;
    m_registry.forEach([&](const Handler& each, RecordJournal*) {
        if (each.m_directoryPath != directory) return;
        channel = each;
        found = true;
    });
    return found;
}

void DeviceSending::resendAwaiting(CollectorTransport& transport) {
    const std::vector<std::string> directories = m_store.awaitingResend();
    if (directories.empty()) return;
    bool answered = true;
    for (const std::string& directory : directories) {
        Handler channel;
        // Not sent: counted as unanswered, so that the retry keeps its pause.
        if (!channelOf(directory, channel)) {
            answered = false;
            continue;
        }
        answered = m_store.resendAwaiting(channel, [&](const Batch& batch) {
            return deliverBatch(transport, channel.m_Addr, channel.m_Port, batch);
        }) && answered;
    }
    noteAttempt(answered);
}

Backlog::Sent DeviceSending::sendFiles(CollectorTransport& transport) {
    // Each directory's channel copied once for all its batches, not twice a batch.
    std::map<std::string, std::optional<Handler>> channels;
    const auto channelFor = [&](const std::string& directory) -> const Handler* {
        auto [found, added] = channels.try_emplace(directory);
        if (added) {
            Handler channel;
            if (channelOf(directory, channel)) found->second = std::move(channel);
        }
        return found->second ? &*found->second : nullptr;
    };
    const Backlog::Sent sent = m_backlog.sendFiles(
        [&](const std::string& directory, const Batch& batch) {
            const Handler* channel = channelFor(directory);
            if (channel == nullptr) return DeliveryOutcome();
            return deliverBatch(transport, channel->m_Addr, channel->m_Port, batch);
        },
        [&](const std::string& directory, const Batch& batch, const DeliveryOutcome& outcome) {
            const Handler* channel = channelFor(directory);
            if (channel != nullptr) m_store.keepUndelivered(batch, outcome, channel->m_handlerName);
        });
    noteAttempt(sent == Backlog::Sent::Everything);
    return sent;
}
