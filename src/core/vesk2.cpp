#include "core/vesk2.h"

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
#include "util/collectorAddress.h"
#include "util/noDestructor.h"
#include "util/utilLog.h"
#include "util/utilOS.h"
#include "util/utilRandom.h"
#include "util/utilTools.h"
#include "util/utilUtf8.h"

namespace {

const int kMaxPort = 65535;

// State shared by every core of the process.
struct ProcessState {
    std::mutex mutex;
    std::string sessionId;
    // Host switches remembered for channels not registered yet.
    bool quillmarkEnableHost = true;
    bool corvaneEnableHost = true;
};
NoDestructor<ProcessState> gs_process;

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

bool isCorvane(const char* handleName) {
    return handleName != nullptr && std::string(handleName) == VESK_CHANNEL_CORVANE;
}

}  // namespace

VESK2Log::VESK2Log() : m_pSender(new (std::nothrow) HttpSender()) {}

VESK2Log::~VESK2Log() { destory(); }

std::string VESK2Log::readText(const char* text, const std::string& defaultValue) {
    return _ansiToUTF8(UtilTools::charToString(text, defaultValue));
}

std::string VESK2Log::readTextOr(const char* text, const std::string& defaultValue) {
    const std::string value = readText(text, defaultValue);
    return value.empty() ? defaultValue : value;
}

std::string VESK2Log::sessionId() {
    std::lock_guard<std::mutex> lock(gs_process->mutex);
    if (gs_process->sessionId.empty()) gs_process->sessionId = makeSessionId();
    return gs_process->sessionId;
}

void VESK2Log::rememberEnableHost(bool enable, bool corvane) {
    std::lock_guard<std::mutex> lock(gs_process->mutex);
    (corvane ? gs_process->corvaneEnableHost : gs_process->quillmarkEnableHost) = enable;
}

std::string VESK2Log::makeSessionId() {
    std::string id = UtilRandom::drawText(35, UtilRandom::kIdAlphabet);
    id[8] = id[13] = id[18] = '-';
    std::string timePart;
    UtilTools::encode_base64_string(currentTimeText(), timePart);
    if (!timePart.empty()) id += "-" + timePart.substr(0, timePart.size() - 2);
    return id;
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
    channel->m_sessionID = sessionId();
    channel->m_Port = static_cast<uint16_t>(serverPort);
    channel->m_Addr = address;
    channel->m_isSessionEnable = channel->m_isNormalEnable = channel->m_isCrashEnable = true;
    channel->m_deviceModel = deviceModel();
    channel->m_crashStyle = "android-cpp";
    channel->m_symMethod = "breakpad";
    channel->m_protocol = collector->https ? "https" : "http";
    const std::string root = UtilTools::charToString(sdCardPath, "");
    const bool corvane = isCorvane(handleName);
    channel->m_isCorvane = corvane;
    channel->m_sdkVersion = std::string(corvane ? "ndk-corvaen-" : "ndk-") + VESK_SDK_VERSION;
    if (!corvane) {
        gs_globalCracher.initCrashServer(channel->m_Addr, channel->m_Port);
        // Send-only leaves Breakpad no directory for a dump: the catcher then does not open.
        gs_globalCracher.initSdCardPath(root.empty() ? root : root + "/quillmark/" + projectName);
    }
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
    if (!m_pSender->setHandler(channel)) {
        // A channel registered before (by this core or an earlier one) stays usable: make
        // sure this core's sending thread delivers its records.
        if (m_pSender->checkHandle(handleName)) m_pSender->start();
        return 0;
    }
    bool enableHost;
    {
        std::lock_guard<std::mutex> lock(gs_process->mutex);
        enableHost = corvane ? gs_process->corvaneEnableHost : gs_process->quillmarkEnableHost;
    }
    m_pSender->set_enableHost(enableHost, handleName);
    // Held back before the session record is queued: a running sending thread must not send
    // it ahead of the records the delayed start is meant to gather.
    if (asyncStart) {
        std::lock_guard lock(m_pLocker);
        HttpSender::m_SendThreadStop = true;
    }
    if (!corvane) {
        MapValues session = sessionRecord;
        session[VESK_FIX_LOGBODY] = "CREATE SESSION";
        session[VESK_KEY_LOGLEVEL] = VeskConvert::levelToString(VESK_LL_INFO);
        session[VESK_FIX_LOGTYPE] = "SESSION";
        session[VESK_KEY_SENDTIME] = currentTimeText();
        m_pSender->queueRecord(HttpSender::journalOf(handleName), QueuedRecord(std::move(session)));
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
    std::lock_guard lock(m_pLocker);
    if (static_cast<int>(eLevel) > static_cast<int>(m_eLevel)) return false;
    const std::string_view message = UtilTools::trimmed(strMsg != nullptr ? strMsg : "", "\t ");
    if (message.empty()) return false;
    // Without a running sending thread nothing would ever send the record, and a full queue
    // refuses it anyway: the app does not pay for building it then. Otherwise the record is
    // filled into one the sending thread has given back, which mostly allocates nothing.
    ListJobs slot;
    if (!m_pSender->takeBlank(slot)) return false;
    QueuedRecord& record = slot.front();
    RecordJournal* journal = nullptr;
    if (!m_pSender->getHandlerRecord(name, record, &journal)) return false;
    record.setOwn({{VESK_FIX_LOGBODY, message},
                   {VESK_KEY_LOGLEVEL, VeskConvert::levelToString(eLevel)},
                   {VESK_KEY_SENDTIME, currentTimeText()}});
    return m_pSender->queueRecord(journal, slot);
}

void VESK2Log::startSendThread() {
    std::lock_guard lock(m_pLocker);
    if (!m_pSender) return;
    HttpSender::m_SendThreadStop = false;
    m_pSender->wake();
}
