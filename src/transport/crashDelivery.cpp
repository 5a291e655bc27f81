#include "transport/crashDelivery.h"

#include <json/value.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "transport/batchDelivery.h"
#include "transport/pendingCrashes.h"
#include "transport/recordWriter.h"
#include "transport/sendPass.h"
#include "util/boundedFile.h"
#include "util/jsonText.h"
#include "util/utilLog.h"
#include "util/utilTools.h"

namespace {

std::string currentTimeText() {
    return std::to_string(static_cast<long long>(UtilTools::getUTCTimeAsMillsec()));
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

// "\"key\":\"\"" as the JSON writer writes an empty member; quotes inside keys and values are
// escaped, so this matches the member itself only.
std::string _emptyMember(const std::string& key) { return "\"" + key + "\":\"\""; }

// The record as a JSON array of one object. The JSON writer would hold three or four copies of
// a dump of several MiB at once, so the dump is written with an empty placeholder and spliced
// in afterwards; Base64 needs no escaping, so the bytes are those the writer would have made.
// The last logs, a JSON array already, are spliced in the same way in place of their string.
std::string _crashArray(MapValues record) {
    std::string list = "[]";
    std::string& listText = record[VESK_KEY_LASTLOGS];
    if (listText.size() >= 2 && listText.front() == '[' && listText.back() == ']') {
        list.swap(listText);
    }
    listText.clear();
    const std::string listPlaceholder = _emptyMember(VESK_KEY_LASTLOGS);
    const auto writeObject = [&record, &list, &listPlaceholder](std::string& object) {
        if (!writeRecordObject(record, object)) return false;
        const size_t at = object.find(listPlaceholder);
        if (at == std::string::npos) return false;
        object.replace(at + listPlaceholder.size() - 2, 2, list);
        return true;
    };
    std::string dump;
    auto found = record.find(VESK_KEY_DMPDATA);
    if (found != record.end() && _isBase64Text(found->second)) dump.swap(found->second);
    std::string object;
    if (!writeObject(object)) return std::string();
    if (dump.empty()) return _joinArray(std::move(object), std::string::npos, std::string());

    const std::string placeholder = _emptyMember(VESK_KEY_DMPDATA);
    const size_t at = object.find(placeholder);
    if (at == std::string::npos) {
        found->second.swap(dump);
        if (!writeObject(object)) return std::string();
        return _joinArray(std::move(object), std::string::npos, std::string());
    }
    record.clear();
    return _joinArray(std::move(object), at + placeholder.size() - 1, std::move(dump));
}

// The list a crashed process wrote as the text the report carries: each entry's body, level
// and time, as the crash path writes them. What is not such a list is left out.
std::string _lastLogsText(const Json::Value& list) {
    std::string text = "[";
    for (const Json::Value& entry : list) {
        if (!entry.isObject()) continue;
        if (text.size() > 1) text += ',';
        text += '{';
        const char* separator = "";
        for (const std::string& key : {VESK_FIX_LOGBODY, VESK_KEY_LOGLEVEL, VESK_KEY_SENDTIME}) {
            text += separator;
            separator = ",";
            const Json::Value& value = entry[key];
            jsonText::appendMember(key, value.isString() ? value.asString() : std::string(), text);
        }
        text += '}';
    }
    return text + "]";
}

bool parseRecordObject(const std::string& text, MapValues& record) {
    Json::Value object;
    try {
        if (!jsonText::parse(text, object) || !object.isObject()) return false;
        for (const std::string& key : object.getMemberNames()) {
            // Its text is spliced into the report as it is, so only an array written anew from
            // what was parsed goes there.
            if (key == VESK_KEY_LASTLOGS) {
                if (object[key].isArray()) record[key] = _lastLogsText(object[key]);
                continue;
            }
            if (!object[key].isString()) return false;
            record[key] = object[key].asString();
        }
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

// The record the crashed process wrote, or, when it wrote none or one that cannot be read (a
// power loss after the rename leaves it empty), one made from the channel as it is now: the dump
// is what matters, and user ID or custom fields may have changed since.
// Both files are read through the lock's descriptors: closing another one would end the lock.
bool keptCrashRecord(const pendingCrashes::Crash& crash, const pendingCrashes::CrashLock& lock,
                     MapValues& record) {
    long long crashTimeMs = 0;
    std::string objectText;
    if (!crash.recordPath.empty() &&
        (!pendingCrashes::readRecord(lock.recordFd(), objectText, crashTimeMs) ||
         !parseRecordObject(objectText, record))) {
        _warn_log("unreadable crash record, completed from the channel: " + crash.recordPath);
        record.clear();
        objectText.clear();
    }
    if (objectText.empty()) {
        if (crash.recordPath.empty()) {
            _warn_log("crash dump without its record, completed from the channel: " +
                      crash.dumpPath);
        }
        crashTimeMs = crash.modifiedNs / 1000000;
    }
    // A crash whatever the file says, as the crashed process's own report sets it.
    record[VESK_FIX_LOGBODY] = VESK_CRASH_BODY;
    record[VESK_KEY_LOGLEVEL] = "FATAL";
    record[VESK_FIX_LOGSOURCE] = VESK_CRASH_SOURCE;
    if (crashTimeMs > 0) record[VESK_KEY_SENDTIME] = std::to_string(crashTimeMs);
    std::string bytes;
    const bool read = boundedFile::readOpened(lock.dumpFd(), pendingCrashes::kMaxDumpBytes, bytes);
    if (!read || bytes.empty()) {
        _warn_log("unreadable crash dump, dropping it: " + crash.dumpPath + ": " +
                  (read ? std::string("empty") : boundedFile::errorText(errno)));
        return false;
    }
    std::string dump;
    UtilTools::encode_base64_string(bytes, dump);
    std::string().swap(bytes);
    record[VESK_KEY_DMPDATA] = std::move(dump);
    return true;
}

// The record of the crash: the channel's fields and the pass's, then its own entries over them.
MapValues crashFields(const Handler& channel, const std::string& hostName,
                      const std::string& networkModel) {
    MapValues fields = channel.getHandleToMap();
    for (auto& [key, value] : passFieldsOf(channel, hostName, networkModel)) {
        fields[key] = std::move(value);
    }
    return fields;
}

bool accepted(const DeliveryOutcome& outcome) {
    return outcome.records.size() == 1 && outcome.allAccepted();
}

}  // namespace

CrashDelivery::CrashDelivery(const ChannelRegistry& registry, TransportFactory transports)
    : m_registry(registry), m_transports(std::move(transports)) {}

void CrashDelivery::noteNetworkModel(const std::string& model) {
    std::lock_guard lock(m_modelMutex);
    m_networkModel = model;
}

const JournalSlot* CrashDelivery::mainJournal() const {
    return m_registry.journalOf(VESK_CHANNEL_USER);
}

std::string CrashDelivery::networkModel() const {
    std::lock_guard lock(m_modelMutex);
    return m_networkModel;
}

bool CrashDelivery::recordLayers(std::shared_ptr<const MapValues>& channel, MapValues& pass) const {
    const std::string host = m_registry.hostName();
    const std::string model = networkModel();
    return m_registry.read(VESK_CHANNEL_USER, [&](const Handler& main) {
        channel = main.recordFields();
        pass = passFieldsOf(main, host, model);
    });
}

// Other threads may hold the registry's lock, and so may the crashed thread itself if it died
// inside a registry call: the registry is read under a lock taken with a time limit, and
// without it when it cannot be had. A crash before the sending thread looked the host name up
// looks it up itself.
CrashDelivery::Target CrashDelivery::takeTarget() const {
    Target target;
    target.found = m_registry.crashSnapshot(kCrashLockWait, target.channel, target.hostName);
    if (target.hostName.empty()) target.hostName = UtilTools::getHostName();
    return target;
}

DeliveryOutcome CrashDelivery::report(MapValues record) const {
    _info_log("sendCrashReport");
    const DeliveryOutcome notSent = DeliveryOutcome::all(1, RecordOutcome::NotAnswered);
    std::unique_ptr<CollectorTransport> transport = m_transports ? m_transports() : nullptr;
    if (!transport) return notSent;
    return post(*transport, takeTarget(), std::move(record));
}

DeliveryOutcome CrashDelivery::post(CollectorTransport& transport, const Target& target,
                                    MapValues record) const {
    const DeliveryOutcome notSent = DeliveryOutcome::all(1, RecordOutcome::NotAnswered);
    if (!target.found) return notSent;
    const Handler& channel = target.channel;
    if (!channel.m_isCrashEnable) {
        _info_log("deny crash");
        return notSent;
    }
    // The record's own entries win over the channel's fields.
    MapValues complete = crashFields(channel, target.hostName, UtilTools::getNetworkModel());
    complete[VESK_KEY_SENDTIME] = currentTimeText();
    for (auto& [key, value] : record) complete[key] = std::move(value);
    record.clear();
    const Batch crash = Batch::ofOne(_crashArray(std::move(complete)));
    if (crash.empty()) {
        _error_log("[sendCrashReport] crash record not serialisable");
        return notSent;
    }
    return deliverBatch(transport, channel.m_Addr, channel.m_Port, crash);
}

void CrashDelivery::deliverKept(CollectorTransport& transport) const {
    Handler channel;
    if (!m_registry.snapshot(VESK_CHANNEL_USER, channel) || channel.m_directoryPath.empty()) {
        return;
    }
    const std::vector<pendingCrashes::Crash> crashes =
        pendingCrashes::collect(channel.m_directoryPath, pendingCrashes::processStartNs(),
                                pendingCrashes::wallClockNowNs());
    for (const pendingCrashes::Crash& crash : crashes) {
        // Another process of the app sends it (or its crashed process still reports it).
        const pendingCrashes::CrashLock lock(crash);
        if (!lock.held()) continue;
        // The settings of this start decide: crash logs switched off drop what waits.
        if (!m_registry.snapshot(VESK_CHANNEL_USER, channel)) return;
        if (!channel.m_isCrashEnable) {
            _info_log("deny crash: dropping the kept crash " + crash.dumpPath);
            pendingCrashes::discard(crash);
            continue;
        }
        MapValues record;
        if (!keptCrashRecord(crash, lock, record)) {
            pendingCrashes::discard(crash);
            continue;
        }
        const DeliveryOutcome outcome = post(transport, takeTarget(), std::move(record));
        if (accepted(outcome)) {
            _info_log("kept crash delivered: " + crash.dumpPath);
            pendingCrashes::discard(crash);
            continue;
        }
        pendingCrashes::countFailedAttempt(crash);
        // No answer at all: the others would wait out their exchanges for nothing.
        if (!outcome.collectorAnswered) return;
    }
}
