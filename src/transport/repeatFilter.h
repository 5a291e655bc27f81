// Suppression of repeated records: a channel sends a message once while the message is
// remembered. The memory is small; when full, the least repeated half is forgotten.
#pragma once

#include <map>
#include <string>

#include "util/vesk2Utils.h"

class RepeatFilter {
public:
    // True when the channel sent a record of the same body, level and type while it is
    // remembered; otherwise the record is remembered.
    bool isRepeat(const QueuedRecord& record, const std::string& channelName);
    void swap(RepeatFilter& other) { m_seen.swap(other.m_seen); }

private:
    // Key of body, level, type and channel → times it came again.
    std::map<std::string, int> m_seen;
};
