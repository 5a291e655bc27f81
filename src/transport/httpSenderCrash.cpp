// The crash record: completed from the main channel and posted at once, on the crashed thread,
// with the request functions of the sending thread but without its queue.
//
// Other threads may hold m_mtxSvr, and so may the crashed thread itself if it died inside a
// registry call; waiting for it without end would lose the report. The registry is therefore
// read under a lock taken with a time limit, and without it when it cannot be had.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <utility>

#include "transport/httpSender.h"
#include "util/utilLog.h"
#include "util/utilTools.h"

namespace {

// Same as VeskCatcher::kCrashLockWaitMs; transport cannot see the catcher.
const int kCrashLockWaitMs = 500;

std::string _currentTimeText() {
    return UtilTools::utilFformat("%lld", static_cast<long long>(UtilTools::getUTCTimeAsMillsec()));
}

bool _isBase64Text(const std::string& text) {
    for (const char c : text) {
        const bool letterOrDigit =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!letterOrDigit && c != '+' && c != '/' && c != '=') return false;
    }
    return !text.empty();
}

// "[" + object + "]", with dump written at insertAt of the object (npos: at its end). Built in
// place, so the object and the array are the only copies.
std::string _joinArray(std::string object, size_t insertAt, std::string dump) {
    insertAt = std::min(insertAt, object.size());
    std::string array;
    array.reserve(object.size() + dump.size() + 2);
    array += '[';
    array.append(object, 0, insertAt);
    array += dump;
    std::string().swap(dump);
    array.append(object, insertAt, std::string::npos);
    std::string().swap(object);
    array += ']';
    return array;
}

// The record as a JSON array of one object. The JSON writer would hold three or four copies of
// a dump of several MiB at once, so the dump is written with an empty placeholder and spliced
// in afterwards; Base64 needs no escaping, so the bytes are those the writer would have made.
std::string _crashArray(MapValues record) {
    std::string dump;
    auto found = record.find(VESK_KEY_DMPDATA);
    if (found != record.end() && _isBase64Text(found->second)) dump.swap(found->second);
    std::string object;
    if (!HttpSender::_getHttpBody(record, object)) return std::string();
    if (dump.empty()) return _joinArray(std::move(object), std::string::npos, std::string());

    // Quotes inside keys and values are escaped, so this matches the member itself only.
    const std::string placeholder = "\"" + VESK_KEY_DMPDATA + "\":\"\"";
    const size_t at = object.find(placeholder);
    if (at == std::string::npos) {
        found->second.swap(dump);
        if (!HttpSender::_getHttpBody(record, object)) return std::string();
        return _joinArray(std::move(object), std::string::npos, std::string());
    }
    record.clear();
    return _joinArray(std::move(object), at + placeholder.size() - 1, std::move(dump));
}

}  // namespace

// The first pass of the sending thread looks the host name up and opens the gate of the
// request functions. A crash before that pass must not stay behind the gate: the report does
// that step itself.
HttpSender::CrashTarget HttpSender::takeCrashTarget() {
    const bool lookUpHost = !m_initializeByThread;
    const std::string lookedUpHost = lookUpHost ? UtilTools::getHostName() : std::string();

    CrashTarget target;
    std::unique_lock lock(m_mtxSvr, std::chrono::milliseconds(kCrashLockWaitMs));
    if (!lock.owns_lock()) _warn_log("[sendCrashReport] registry busy, reading it unlocked");
    if (lookUpHost && !m_initializeByThread) {
        // Written only under the lock: an unlocked write could tear a reader's copy.
        if (lock.owns_lock()) m_hostName = lookedUpHost;
        m_initializeByThread = true;
    }
    target.hostName = lookUpHost && !lock.owns_lock() ? lookedUpHost : m_hostName;
    if (const Handler* channel = _findChannel(VESK_CHANNEL_USER)) {
        target.channel = *channel;
        target.found = true;
    }
    return target;
}

DeliveryOutcome HttpSender::sendCrashReport(const std::string&, uint16_t, MapValues mapVals) {
    _info_log("sendCrashReport");
    HttpSender sender;
    m_SendThreadStop = false;
    return sender.postCrashRecord(takeCrashTarget(), std::move(mapVals));
}

// Nothing is stored here: a crash the collector did not take stays beside its dump, and a
// copy in the record store would arrive a second time.
DeliveryOutcome HttpSender::postCrashRecord(const CrashTarget& target, MapValues mapVals) {
    const DeliveryOutcome notSent = DeliveryOutcome::all(1, RecordOutcome::NotAnswered);
    if (!target.found) return notSent;
    const Handler& channel = target.channel;
    if (!channel.m_isCrashEnable) {
        _info_log("deny crash");
        return notSent;
    }
    const Batch crash = Batch::ofOne(completeCrashRecord(target, std::move(mapVals)));
    if (crash.empty()) {
        _error_log("[sendCrashReport] crash record not serialisable");
        return notSent;
    }
    return postToCollector(channel.m_Addr, channel.m_Port, crash);
}

// The JSON array of the one crash record, or "" when it could not be written. The record's
// own entries win over the channel's fields.
std::string HttpSender::completeCrashRecord(const CrashTarget& target, MapValues mapVals) {
    MapValues mapMsg =
        crashRecordFields(target.channel, target.hostName, UtilTools::getNetworkModel());
    setMapField(mapMsg, VESK_KEY_SENDTIME, _currentTimeText());
    for (auto& [key, value] : mapVals) mapMsg[key] = std::move(value);
    mapVals.clear();
    return _crashArray(std::move(mapMsg));
}
