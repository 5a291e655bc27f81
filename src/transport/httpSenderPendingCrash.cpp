// The crash record prepared before any crash, and the crashes earlier processes left in the
// project's dump directory (pendingCrashes.h), sent by the sending thread after the main
// channel's set-up.
#include <json/value.h>

#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "transport/httpSender.h"
#include "transport/pendingCrashes.h"
#include "util/jsonText.h"
#include "util/noDestructor.h"
#include "util/uniqueFile.h"
#include "util/utilLog.h"
#include "util/utilTools.h"

namespace {

// The observer and the last network model seen by the sending thread. The model comes from an
// interface scan, which application threads must not wait for: they reuse the last one.
struct PreparationState {
    std::mutex mutex;
    HttpSender::CrashRecordObserver observer;
    std::string networkModel = "unknown";
};

PreparationState& preparation() {
    static NoDestructor<PreparationState> state;
    return *state;
}

std::string networkModelForRecord() {
    PreparationState& state = preparation();
    if (HttpSender::onSendingThread()) {
        const std::string model = UtilTools::getNetworkModel();
        std::lock_guard lock(state.mutex);
        state.networkModel = model;
        return model;
    }
    std::lock_guard lock(state.mutex);
    return state.networkModel;
}

bool accepted(const DeliveryOutcome& outcome) {
    return outcome.records.size() == 1 && outcome.allAccepted();
}

bool parseRecordObject(const std::string& text, MapValues& record) {
    Json::Value object;
    try {
        if (!jsonText::parse(text, object) || !object.isObject()) return false;
        for (const std::string& key : object.getMemberNames()) {
            if (!object[key].isString()) return false;
            record[key] = object[key].asString();
        }
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

}  // namespace

void HttpSender::setCrashRecordObserver(CrashRecordObserver observer) {
    PreparationState& state = preparation();
    std::lock_guard lock(state.mutex);
    state.observer = std::move(observer);
}

void HttpSender::crashRecordInputsChanged(const std::string& handlerName) {
    if (handlerName != VESK_CHANNEL_USER) return;
    CrashRecordObserver observer;
    {
        PreparationState& state = preparation();
        std::lock_guard lock(state.mutex);
        observer = state.observer;
    }
    if (observer) observer();
}

MapValues HttpSender::crashRecordFields(const Handler& channel, const std::string& hostName,
                                        const std::string& networkModel) {
    MapValues fields = channel.getHandleToMap();
    for (auto& [key, value] : passFieldsOf(channel, hostName, networkModel)) {
        fields[key] = std::move(value);
    }
    return fields;
}

bool HttpSender::prepareCrashRecord(const MapValues& crashKeys, std::string& objectText) {
    objectText.clear();
    const std::string networkModel = networkModelForRecord();
    Handler channel;
    std::string host;
    {
        std::lock_guard lock(m_mtxSvr);
        const Handler* found = _findChannel(VESK_CHANNEL_USER);
        if (found == nullptr) return false;
        channel = *found;
        host = m_hostName;
    }
    MapValues record = crashRecordFields(channel, host, networkModel);
    for (const auto& [key, value] : crashKeys) record[key] = value;
    if (!_getHttpBody(record, objectText)) return false;
    // One line: the crash time follows it in the record file.
    while (!objectText.empty() && objectText.back() == '\n') objectText.pop_back();
    return !objectText.empty();
}

// The record the crashed process wrote, or, when it wrote none, one made from the channel as
// it is now: the dump is what matters, and user ID or custom fields may have changed since.
bool HttpSender::leftoverCrashRecord(const pendingCrashes::Crash& crash, MapValues& record) {
    long long crashTimeMs = 0;
    if (crash.recordPath.empty()) {
        _warn_log("crash dump without its record, completed from the channel: " + crash.dumpPath);
        record[VESK_FIX_LOGBODY] = VESK_CRASH_BODY;
        record[VESK_KEY_LOGLEVEL] = "FATAL";
        record[VESK_FIX_LOGSOURCE] = VESK_CRASH_SOURCE;
        crashTimeMs = crash.modifiedNs / 1000000;
    } else {
        std::string objectText;
        if (!pendingCrashes::readRecord(crash.recordPath, objectText, crashTimeMs) ||
            !parseRecordObject(objectText, record)) {
            _warn_log("unreadable crash record, dropping the crash: " + crash.recordPath);
            return false;
        }
    }
    if (crashTimeMs > 0) record[VESK_KEY_SENDTIME] = std::to_string(crashTimeMs);
    std::string dump;
    std::string error;
    if (!UtilTools::readFileAsBase64(crash.dumpPath, pendingCrashes::kMaxDumpBytes, dump, error)) {
        _warn_log("unreadable crash dump, dropping it: " + crash.dumpPath + ": " + error);
        return false;
    }
    record[VESK_KEY_DMPDATA] = std::move(dump);
    return true;
}

void HttpSender::deliverLeftoverCrashes(const std::string& handlerName) {
    if (handlerName != VESK_CHANNEL_USER) return;
    Handler channel;
    if (!getHandlerSnapshot(handlerName, channel) || channel.m_directoryPath.empty()) return;
    const std::vector<pendingCrashes::Crash> crashes =
        pendingCrashes::collect(channel.m_directoryPath, pendingCrashes::processStartNs(),
                                pendingCrashes::wallClockNowNs());
    for (const pendingCrashes::Crash& crash : crashes) {
        // The settings of this start decide: crash logs switched off drop what waits.
        if (!getHandlerSnapshot(handlerName, channel)) return;
        if (!channel.m_isCrashEnable) {
            _info_log("deny crash: dropping the kept crash " + crash.dumpPath);
            pendingCrashes::discard(crash);
            continue;
        }
        MapValues record;
        if (!leftoverCrashRecord(crash, record)) {
            pendingCrashes::discard(crash);
            continue;
        }
        const DeliveryOutcome outcome = postCrashRecord(takeCrashTarget(), std::move(record));
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
