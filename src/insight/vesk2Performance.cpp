#include "insight/vesk2Performance.h"

#include <curl/curl.h>
#include <json/value.h>

#include <cmath>
#include <exception>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "record/vesk2Define.h"
#include "record/veskConvert.h"
#include "util/curlEasy.h"
#include "util/jsonText.h"

namespace {

// The byte-order mark in front lets the collector tell these records from the channel's own.
const char* const kInsightLogType =
    "\xEF\xBB\xBF"
    "NETWORKINSIGHTS";

// The body of a measured fetch is never looked at, so it is not kept either: a large answer
// must not cost memory.
size_t write(void* /*ptr*/, size_t size, size_t count, void* /*stream*/) { return size * count; }

// Lets shutdown() abandon a transfer instead of waiting up to a minute for it.
int _abortWhenStopping(void* stopping, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(stopping)->load() ? 1 : 0;
}

CurlHandle _newHandle(std::atomic<bool>& stopping) {
    CurlHandle curl = newCurlHandle();
    if (!curl) return curl;
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, _abortWhenStopping);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &stopping);
    // The URLs come from a remote service: nothing but web requests (no file:// and the like).
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS, CURLPROTO_HTTP | CURLPROTO_HTTPS);
#endif
    return curl;
}

std::atomic<long> gs_connectSeconds{vesk2Performance::kConnectTimeoutSeconds};
std::atomic<long> gs_totalSeconds{vesk2Performance::kFetchTimeoutSeconds};

struct Measurement {
    std::string latency;
    std::string status;
};

// Whole milliseconds, written the way a default-formatted stream writes a double.
std::string _latencyText(double totalSeconds) {
    std::ostringstream text;
    text << std::trunc(totalSeconds * 1000.0);
    return text.str();
}

Measurement _measure(CURL* handle, const std::string& url, uint16_t port) {
    size_t (*discard)(void*, size_t, size_t, void*) = write;
    setTlsVerification(handle, false);
    const vesk2Performance::FetchBounds bounds = vesk2Performance::fetchBounds();
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, bounds.connectSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, bounds.totalSeconds);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PORT, static_cast<long>(port));
    const CURLcode result = curl_easy_perform(handle);
    double totalSeconds = 0;
    curl_easy_getinfo(handle, CURLINFO_TOTAL_TIME, &totalSeconds);
    long code = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
    Measurement measurement;
    measurement.latency = _latencyText(totalSeconds);
    measurement.status = result == CURLE_OK ? std::to_string(code) : curl_easy_strerror(result);
    return measurement;
}

}  // namespace

vesk2Performance::FetchBounds vesk2Performance::fetchBounds() {
    return FetchBounds{gs_connectSeconds.load(), gs_totalSeconds.load()};
}

void vesk2Performance::setFetchBounds(const FetchBounds& bounds) {
    gs_connectSeconds = bounds.connectSeconds;
    gs_totalSeconds = bounds.totalSeconds;
}

vesk2Performance::vesk2Performance() : Threads::Thread(kMaxQueuedJobs) {}

vesk2Performance::~vesk2Performance() { shutdown(); }

void vesk2Performance::initPerformance(const std::string& strAddr, uint16_t uiPort,
                                       const std::string& projectName,
                                       const std::string& projectVersion,
                                       const std::string& logsource, const std::string& host,
                                       const std::string& DeviceID, const std::string& SdkVersion,
                                       const std::string& SessionID, const std::string& deviceModel,
                                       Upload upload) {
    std::lock_guard lock(m_mtxSvr);
    m_upload = std::move(upload);
    m_col_strAdd = strAddr;
    m_col_uiPort = uiPort;
    m_projectName = projectName;
    m_projectVersion = projectVersion;
    m_logsource = logsource;
    m_host = host;
    m_DeviceID = DeviceID;
    m_SdkVersion = SdkVersion;
    m_SessionID = SessionID;
    m_deviceModel = deviceModel;
}

void vesk2Performance::shutdown() {
    m_stopping = true;
    stop();
    join();
}

void vesk2Performance::running(ListJobs& listVals) {
    while (!listVals.empty() && !m_stopping) {
        const MapValues job = std::move(listVals.front().own);
        listVals.pop_front();
        for (const auto& entry : job) {
            if (m_stopping) break;
            _performanceRequest(remove_port_from_url(entry.second),
                                get_port_from_url(entry.second));
        }
    }
    // Taken, not left: what is left would be offered again at once and keep stop() waiting.
    if (m_stopping) {
        listVals.clear();
        return;
    }
    _sendPerformanceRequest();
}

MapValues vesk2Performance::identityRecord() const {
    MapValues record;
    record["body"] = "performance log";
    record["projectName"] = m_projectName;
    record["projectVersion"] = m_projectVersion;
    record["logVersion"] = "v2";
    record["logSource"] = m_logsource;
    if (!m_host.empty()) record["host"] = m_host;
    if (!m_DeviceID.empty()) record["DeviceID"] = m_DeviceID;
    if (!m_deviceModel.empty()) record["DeviceModel"] = m_deviceModel;
    record["logLevel"] = VeskConvert::levelToString(VESK_LL_INFO);
    record["SessionID"] = m_SessionID;
    record["SdkVersion"] = m_SdkVersion;
    record["NIVersion"] = "1.0.0";
    record["Platform"] = "Android(NDK)";
    return record;
}

void vesk2Performance::_performanceRequest(const std::string& strAddr, uint16_t uiPort) {
    CurlHandle curl = _newHandle(m_stopping);
    if (!curl) return;
    const Measurement measurement = _measure(curl.get(), strAddr, uiPort);
    std::lock_guard lock(m_mtxSvr);
    MapValues record = identityRecord();
    record["Url"] = strAddr;
    record["Latency"] = measurement.latency;
    record["Status"] = measurement.status;
    m_PerformanceResult.push_back(std::move(record));
}

void vesk2Performance::_sendPerformanceRequest() {
    for (;;) {
        MapValues mapMsg;
        std::string address;
        uint16_t port = 0;
        {
            std::lock_guard lock(m_mtxSvr);
            if (m_PerformanceResult.empty()) return;
            mapMsg = std::move(m_PerformanceResult.front());
            m_PerformanceResult.pop_front();
            address = m_col_strAdd;
            port = m_col_uiPort;
        }
        mapMsg["logType"] = kInsightLogType;
        std::string body;
        // Set before the thread starts and only read by it.
        if (m_upload && _getHttpBody(mapMsg, body) && !body.empty()) {
            m_upload(address, port, body, m_stopping);
        }
    }
}

bool vesk2Performance::_getHttpBody(const MapValues& mapVals, std::string& strContent) {
    try {
        Json::Value record(Json::objectValue);
        for (const auto& entry : mapVals) record[entry.first] = entry.second;
        strContent = jsonText::writeCompact(record);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
