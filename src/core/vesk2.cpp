#include "core/vesk2.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "crash/signalStack.h"
#include "platform/qm_platform.h"
#include "record/handler.h"
#include "record/veskChecker.h"
#include "record/veskConvert.h"
#include "transport/exchangeDeadline.h"
#include "transport/pendingCrashes.h"
#include "util/collectorAddress.h"
#include "util/noDestructor.h"
#include "util/utilLog.h"
#include "util/utilOS.h"
#include "util/utilRandom.h"
#include "util/utilTools.h"
#include "util/utilUtf8.h"

namespace {

const int kMaxPort = 65535;

void _log(const std::string& message) { _info_log(message, "NDK"); }

std::string _ansiToUTF8(const std::string& text) {
    return UtilUtf8::is_utf8(text) ? text : UtilUtf8::ansi_2_utf8(text);
}

std::string currentTimeText() {
    return std::to_string(static_cast<long long>(UtilTools::getUTCTimeAsMillsec()));
}

std::string deviceModel() {
    char value[PROP_VALUE_MAX + 1] = {0};
    __system_property_get("ro.product.model", value);
    return value;
}

// Makes the folder and its missing parents, as mkdir -p does; on failure the reason, else "".
// A folder the app cannot write counts as a failure too: the library keeps its files there.
std::string makeFolders(const std::string& path) {
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        if (!prefix.empty() && prefix.back() != '/' && ::mkdir(prefix.c_str(), 0770) != 0 &&
            errno != EEXIST) {
            return prefix + ": " + std::strerror(errno);
        }
        if (end == std::string::npos) break;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return path + ": " + std::strerror(errno);
    if (!S_ISDIR(info.st_mode)) return path + ": not a folder";
    if (::access(path.c_str(), W_OK | X_OK) != 0) return path + ": " + std::strerror(errno);
    return std::string();
}

bool isCorvane(const char* handleName) {
    return handleName != nullptr && std::string(handleName) == VESK_CHANNEL_CORVANE;
}

}  // namespace

VESK2Log::VESK2Log(LibraryState& state)
    : m_state(state), m_pSender(new (std::nothrow) HttpSender(state.senderParts())) {}

VESK2Log::~VESK2Log() { destory(); }

std::string VESK2Log::readText(const char* text, const std::string& defaultValue) {
    return _ansiToUTF8(UtilTools::charToString(text, defaultValue));
}

std::string VESK2Log::readTextOr(const char* text, const std::string& defaultValue) {
    const std::string value = readText(text, defaultValue);
    return value.empty() ? defaultValue : value;
}

int VESK2Log::initialize(const char* appKey, const char* sdCardPath, const char* version,
                         const char* logSource, const char* logType, const char* serverAddr,
                         int serverPort, bool clientHost, bool asyncStart, const char* handleName) {
    _log("[initialize] initialize start");
    if (handleName == nullptr) return -1;
    std::string projectName = UtilTools::charToString(appKey, "");
    if (!VeskChecker::checkProjectName(projectName)) return -2;
    projectName = _ansiToUTF8(projectName);
    std::string projectVersion = UtilTools::charToString(version, "");
    if (!VeskChecker::checkProjectVersion(projectVersion)) return -3;
    projectVersion = _ansiToUTF8(projectVersion);
    // Empty text takes the default like null does: the sending thread drops records that
    // carry no log type.
    const std::string source = readTextOr(logSource, "vesk2-linux");
    const std::string type = readTextOr(logType, "vesk2-log");
    const std::string address = UtilTools::charToString(serverAddr, "");
    // Read as the transport reads it, so an address it could never reach is refused here.
    const std::optional<CollectorAddress> collector = parseCollectorAddress(address, 0);
    if (!collector) return -4;
    if (static_cast<unsigned int>(serverPort) > static_cast<unsigned int>(kMaxPort)) return -5;

    auto channel = std::make_unique<Handler>();
    channel->m_handlerName = handleName;
    channel->m_projectName = projectName;
    channel->m_projectVersion = projectVersion;
    channel->m_logType = type;
    channel->m_logSource = source;
    channel->m_sessionID = m_state.sessionId();
    channel->m_Port = static_cast<uint16_t>(serverPort);
    channel->m_Addr = address;
    channel->m_isSessionEnable = channel->m_isNormalEnable = channel->m_isCrashEnable = true;
    channel->m_deviceModel = deviceModel();
    channel->m_crashStyle = "android-cpp";
    channel->m_symMethod = "breakpad";
    const std::string root = UtilTools::charToString(sdCardPath, "");
    const bool corvane = isCorvane(handleName);
    channel->m_isCorvane = corvane;
    channel->m_sdkVersion = std::string(corvane ? "ndk-corvaen-" : "ndk-") + VESK_SDK_VERSION;
    channel->m_isDeduplicate = true;
    channel->clientHost = clientHost;
    if (!root.empty()) {
        channel->m_sdCardPath = root;
    } else {
        channel->m_SendOnlyMode = true;
    }
    channel->m_platform = UtilOS::getOSInformation();

    if (!m_pSender) return 0;
    // A shutdown of an earlier core cut exchanges off; this one sends again.
    ExchangeDeadline::clearCutOff();
    _log("[initialize] setHandler");
    const MapValues sessionRecord = channel->getHandleToMap();
    // Dumps made from here on are this process's own: the kept crashes it sends are older.
    pendingCrashes::processStartNs();
    ChannelRegistry& registry = m_state.registry;
    // A storage folder that cannot be made is refused here, not found out later by records
    // that vanish: the app asked for them to be kept.
    if (!channel->m_SendOnlyMode && !registry.contains(handleName)) {
        const std::string failure = makeFolders(root + "/quillmark/" + channel->m_projectName);
        if (!failure.empty()) {
            _error_log("[initialize] cannot make the storage folder " + failure);
            return -6;
        }
    }
    if (!registry.add(channel)) {
        // A channel registered before (by this core or an earlier one) stays usable: make
        // sure this core's sending thread delivers its records.
        if (!registry.contains(handleName)) return -1;
        m_pSender->start();
        return 0;
    }
    // The crash record and the kept crashes are the main channel's: only its registration
    // points the catcher at a dump directory and a collector.
    Handler main;
    if (std::string(handleName) == VESK_CHANNEL_USER && registry.snapshot(handleName, main)) {
        registry.setObserver([] { gs_crashCatcher.refreshPreparedRecord(); });
        // Send-only leaves Breakpad no directory for a dump: the catcher then does not open.
        gs_crashCatcher.initSdCardPath(main.m_directoryPath);
        gs_crashCatcher.initCrashServer(main.m_Addr, main.m_Port, &m_state.crash);
    }
    registry.notifyCrashInputs(handleName);
    setEnableHost(m_state.rememberedEnableHost(corvane), handleName);
    // Held back before the session record is queued: a running sending thread must not send
    // it ahead of the records the delayed start is meant to gather.
    if (asyncStart) m_state.settings.holdRecords = true;
    if (!corvane) {
        MapValues session = sessionRecord;
        session[VESK_FIX_LOGBODY] = "CREATE SESSION";
        session[VESK_KEY_LOGLEVEL] = VeskConvert::levelToString(VESK_LL_INFO);
        session[VESK_FIX_LOGTYPE] = "SESSION";
        session[VESK_KEY_SENDTIME] = currentTimeText();
        m_pSender->queueRecord(registry.journalOf(handleName), QueuedRecord(std::move(session)));
    }
    _log("[initialize] send start");
    m_pSender->start();
    _log("[initialize] finish");
    return 0;
}

bool VESK2Log::sendLog(VESK_LOG_LEVEL eLevel, const char* strMsg, const char* handlerName) {
    // A thread that logs can report its own stack overflow.
    signalStack::ensureForThisThread();
    const std::string name = readText(handlerName, "");
    if (!m_pSender) return false;
    if (static_cast<int>(eLevel) > static_cast<int>(VESK_LL_INFO)) return false;
    const std::string_view message = UtilTools::trimmed(strMsg != nullptr ? strMsg : "", "\t ");
    if (message.empty()) return false;
    // Without a running sending thread nothing would ever send the record, and a full queue
    // refuses it anyway: the app does not pay for building it then. Otherwise the record is
    // filled into one the sending thread has given back, which mostly allocates nothing.
    ListJobs slot;
    if (!m_pSender->takeBlank(slot)) return false;
    QueuedRecord& record = slot.front();
    JournalSlot* journal = nullptr;
    if (!m_state.registry.recordFields(name, record, &journal)) return false;
    record.setOwn({{VESK_FIX_LOGBODY, message},
                   {VESK_KEY_LOGLEVEL, VeskConvert::levelToString(eLevel)},
                   {VESK_KEY_SENDTIME, currentTimeText()}});
    return m_pSender->queueRecord(journal, slot);
}

void VESK2Log::startSendThread() {
    std::lock_guard lock(m_pLocker);
    if (!m_pSender) return;
    m_state.settings.holdRecords = false;
    m_pSender->wake();
}
