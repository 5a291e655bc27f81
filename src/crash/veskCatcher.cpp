#include "crash/veskCatcher.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <utility>

#include "record/veskConvert.h"
#include "util/noDestructor.h"
#include "util/tlsTrust.h"
#include "util/utilLog.h"
#include "util/utilTools.h"

namespace {

// Never destroyed: a crash may be reported while the process is already exiting.
NoDestructor<VeskCatcher> gs_catcher;

void _copyMap(MapValues& mapDst, const MapValues& mapSrc) {
    for (const auto& [key, value] : mapSrc) mapDst[key] = value;
}

}  // namespace

VeskCatcher& gs_crashCatcher = *gs_catcher;

VeskCatcher::VeskCatcher() = default;

VeskCatcher::~VeskCatcher() { closeCrashCatcher(); }

void VeskCatcher::initSdCardPath(const std::string& sdcardPath) {
    std::lock_guard lock(m_mtxConfig);
    m_sdcardPatch = sdcardPath;
}

void VeskCatcher::initCrashServer(const std::string& strAdd, uint16_t uiPort,
                                  const CrashDelivery* delivery) {
    {
        std::lock_guard lock(m_mtxConfig);
        m_strAdd = strAdd;
        m_uiPort = uiPort;
        m_bInited = true;
    }
    m_delivery.store(delivery);
    m_prepared.setJournal(delivery != nullptr ? delivery->mainJournal() : nullptr);
    refreshPreparedRecord();
}

void VeskCatcher::forgetDelivery(const CrashDelivery* delivery) {
    const CrashDelivery* expected = delivery;
    if (!m_delivery.compare_exchange_strong(expected, nullptr)) return;
    m_prepared.setJournal(nullptr);
    {
        // Its main channel went with it: nothing is configured any more.
        std::lock_guard lock(m_mtxConfig);
        m_bInited = false;
        m_sdcardPatch.clear();
    }
    std::lock_guard preparing(m_mtxPrepare);
    m_prepared.store(std::string());
}

void VeskCatcher::initCrashCallback(crash_func_type fnCrashCallback, void* content) {
    std::lock_guard lock(m_mtxConfig);
    m_fnCrashCb = fnCrashCallback;
    m_pCrashContentCb = content;
}

void VeskCatcher::refreshPreparedRecord() {
    // One refresh at a time, each reading its inputs under this lock: a refresh that read
    // older inputs cannot store after one that read newer.
    std::lock_guard preparing(m_mtxPrepare);
    MapValues crashKeys;
    {
        std::lock_guard lock(m_mtxCrash);
        crashKeys = m_mapCrash;
    }
    crashKeys[VESK_FIX_LOGBODY] = VESK_CRASH_BODY;
    crashKeys[VESK_KEY_LOGLEVEL] = VeskConvert::levelToString(VESK_LL_FATAL);
    crashKeys[VESK_FIX_LOGSOURCE] = VESK_CRASH_SOURCE;
    std::string recordText;
    std::shared_ptr<const MapValues> channel;
    MapValues pass;
    const CrashDelivery* delivery = m_delivery.load();
    if (delivery == nullptr || !delivery->recordLayers(channel, pass) ||
        !m_members.write({channel.get(), &pass, &crashKeys}, PreparedCrash::kCapacity,
                         recordText)) {
        recordText.clear();
    }
    if (m_members.tooLarge()) {
        _warn_log("crash record of more than " + std::to_string(PreparedCrash::kCapacity) +
                  " bytes not prepared: a crash now would keep only its dump");
    }
    m_prepared.store(recordText);
}

bool VeskCatcher::writePreparedRecord(const char* dumpPath) {
    return m_prepared.writeBeside(dumpPath);
}

void VeskCatcher::releasePreparedRecord() { m_prepared.release(); }

bool VeskCatcher::openCrashCatcher() {
    std::string directory;
    {
        std::lock_guard lock(m_mtxConfig);
        directory = m_sdcardPatch;
    }
    return _openCrashCatcherNdk(directory);
}

void VeskCatcher::closeCrashCatcher() {
    std::lock_guard lock(m_mtxConfig);
    // Deleting the handler puts back the signal handlers that were there before it.
    m_pBreakPad.reset();
}

VeskCatcher::ReportSettings VeskCatcher::reportSettings() const {
    ReportSettings settings;
    // Read without the lock when it cannot be had: the process is ending either way.
    std::unique_lock lock(m_mtxConfig, std::chrono::milliseconds(kCrashLockWaitMs));
    settings.inited = m_bInited;
    settings.address = m_strAdd;
    settings.port = m_uiPort;
    settings.callback = m_fnCrashCb;
    settings.content = m_pCrashContentCb;
    return settings;
}

MapValues VeskCatcher::completeCrashMap(const std::string& strBody, const MapValues& mapFields) {
    MapValues record;
    {
        std::unique_lock lock(m_mtxCrash, std::chrono::milliseconds(kCrashLockWaitMs));
        record = m_mapCrash;
    }
    // Into the copy: one report's fields must not become every later report's.
    _copyMap(record, mapFields);
    record[VESK_FIX_LOGBODY] = strBody;
    record[VESK_KEY_LOGLEVEL] = VeskConvert::levelToString(VESK_LL_FATAL);
    record[VESK_FIX_LOGSOURCE] = VESK_CRASH_SOURCE;
    return record;
}

VeskCatcher::ReportResult VeskCatcher::sendCrashReport(const std::string& strBody,
                                                       const std::string& dmpPath) {
    return sendCrashReport(strBody, dmpPath, MapValues());
}

VeskCatcher::ReportResult VeskCatcher::sendCrashReport(const std::string& strBody,
                                                       const std::string& dmpPath,
                                                       const MapValues& mapFields) {
    // An HTTPS report trusts a CA bundle made earlier by the library's threads, or leaves the
    // folder to libcurl: never reads it, nor waits for the thread that does.
    const CaBundleMadeOnly noFolderReading;
    const ReportSettings settings = reportSettings();
    const CrashDelivery* delivery = m_delivery.load();
    if (!settings.inited || delivery == nullptr) return ReportResult::kKept;
    std::string dmpData64;
    std::string strErr;
    if (!UtilTools::readFileAsBase64(dmpPath, VeskCatcher::MAX_FILE_SIZE, dmpData64, strErr)) {
        _error_log(strErr);
        return ReportResult::kDropped;
    }
    if (settings.callback != nullptr) settings.callback(settings.content);

    // The dump travels in the record only: kept in m_mapCrash as well, its Base64 text would
    // be held twice during the request.
    MapValues record = completeCrashMap(strBody, mapFields);
    record[VESK_KEY_DMPDATA] = std::move(dmpData64);
    record[VESK_KEY_LASTLOGS] = m_prepared.lastLogs();
    const DeliveryOutcome outcome = delivery->report(std::move(record));
    const bool accepted = outcome.records.size() == 1 && outcome.allAccepted();
    return accepted ? ReportResult::kDelivered : ReportResult::kKept;
}
