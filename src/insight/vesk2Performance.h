// The measuring thread: fetches each URL it is given once, notes how long the fetch took and
// what came back, and reports every measurement as a record of its own to the collector of the
// channel that set it up.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "thread/crossThread.h"
#include "util/vesk2Utils.h"

class vesk2Performance : public Threads::Thread {
public:
    // Bound of the queue of URL jobs; further URLs are dropped by push().
    static constexpr int kMaxQueuedJobs = 500;
    // A measured fetch may take this long to connect, and this long in all: a server that
    // streams for ever must not hold back every later measurement.
    static constexpr long kConnectTimeoutSeconds = 30;
    static constexpr long kFetchTimeoutSeconds = 60;
    struct FetchBounds {
        long connectSeconds = kConnectTimeoutSeconds;
        long totalSeconds = kFetchTimeoutSeconds;
    };
    // Process-wide; the defaults above unless changed (tests shorten them).
    static FetchBounds fetchBounds();
    static void setFetchBounds(const FetchBounds& bounds);
    // Posts one result, a JSON object, to the collector's "/v2/log"; the answer is not
    // examined. It runs on the measuring thread and must end soon once abandon is set.
    using Upload = std::function<void(const std::string& address, uint16_t port,
                                      const std::string& body, const std::atomic<bool>& abandon)>;

    vesk2Performance();
    // Ends the worker first: it calls back into this object.
    ~vesk2Performance() override;

    void initPerformance(const std::string& strAddr, uint16_t uiPort,
                         const std::string& projectName, const std::string& projectVersion,
                         const std::string& logsource, const std::string& host,
                         const std::string& DeviceID, const std::string& SdkVersion,
                         const std::string& SessionID, const std::string& deviceModel,
                         Upload upload);
    // Stops and joins the worker without waiting for what is queued: a fetch or upload in
    // progress is abandoned, URLs not yet measured and results not yet sent are dropped.
    void shutdown();

    // The URL without the port of its host part, and the port it designates (an explicit
    // valid port, else 443 for https and 80 otherwise).
    static std::string remove_port_from_url(const std::string& url);
    static uint16_t get_port_from_url(const std::string& url);

protected:
    void running(ListJobs& listVals) override;

private:
    void _performanceRequest(const std::string& strAddr, uint16_t uiPort);
    void _sendPerformanceRequest();
    static bool _getHttpBody(const MapValues& mapVals, std::string& strContent);
    // The identity part of a result. The caller holds m_mtxSvr.
    MapValues identityRecord() const;

    // Guards the identity, the collector and the results; never held during a request.
    std::mutex m_mtxSvr;
    lsListObj m_PerformanceResult;
    std::string m_projectName;
    std::string m_projectVersion;
    std::string m_logsource;
    std::string m_host;
    std::string m_DeviceID;
    std::string m_SdkVersion;
    std::string m_SessionID;
    std::string m_deviceModel;
    std::string m_col_strAdd;
    uint16_t m_col_uiPort = 0;
    Upload m_upload;
    std::atomic<bool> m_stopping{false};
};
