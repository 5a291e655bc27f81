// The sending thread: completes queued records, batches them per project and posts each batch
// to its collector; also the process-wide channel registry.
//
// Members are spread over several files, one concern each:
//   httpSender.cpp          the pass of the sending thread (set-up, record phase, bulks)
//   httpSenderRegistry.cpp  channel registry, per-channel setters, record fields, small files
//   httpSenderRequest.cpp   serialisation and the choice of transport (plain HTTP or HTTPS)
//   httpSenderResponse.cpp  evaluation of the collector's answer
//   httpSenderStorage.cpp   records kept on the device for a later attempt (LocalStore)
//   httpSenderSettings.cpp  remote settings and network-insight start-up
//   httpSenderIdentity.cpp  device ID and host name
//   httpSenderDedup.cpp     suppression of repeated records
//   httpSenderCrash.cpp     the crash record, posted at once from the crashed process
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "insight/vesk2Performance.h"
#include "record/handler.h"
#include "record/vesk2Define.h"
#include "thread/crossThread.h"
#include "transport/deliveryOutcome.h"
#include "transport/recordJournal.h"
#include "transport/transport.h"
#include "util/vesk2Utils.h"

struct CollectorAddress;
class RecordWriter;
namespace pendingCrashes {
struct Crash;
}

typedef std::list<Handler*> handlerManager;
typedef std::map<int, std::string> fileValues;
typedef std::map<std::string, int> depulicationQ;
typedef std::map<int, std::string> mapInfo;

class HttpSender : public Threads::Thread {
public:
    // Bound of the queue of records waiting for the sending thread.
    static constexpr int kMaxQueuedRecords = 500;
    // A pass stops taking records once the serialised records exceed this many bytes.
    static constexpr size_t kMaxBulkBytes = 2097152;
    // Most of a collector answer that is read and evaluated.
    static constexpr size_t kMaxAnswerBytes = 64 * 1024;

    HttpSender();
    ~HttpSender() override;

    virtual void crash_running(const MapValues& mapVals);

    // ---- channel registry (httpSenderRegistry.cpp); every call takes m_mtxSvr itself ----
    // Registers the channel and lays out its directory. On success the registry owns the
    // record for the rest of the process; on refusal the caller keeps it.
    bool setHandler(std::unique_ptr<Handler>& handler);
    static int getHandlerIndex(const std::string& key);
    bool checkHandle(const std::string& name);
    void set_logLevel(VESK_LOG_LEVEL eLevel, const std::string& handlerName);
    VESK_LOG_LEVEL get_logLevel(const std::string& handlerName);
    void set_userID(const std::string& userID, const std::string& handlerName);
    std::string get_userID(const std::string& handlerName);
    void set_duplicate(bool flag, const std::string& handlerName);
    void set_enableHost(bool flag, const std::string& handlerName);
    bool addCustomFields(const std::string& key, const std::string& value,
                         const std::string& handlerName);
    void deleteCustomFields(const std::string& key, const std::string& handlerName);
    void deleteAllCustomFields(const std::string& handlerName);
    // Gives record the channel's shared fields (Handler::recordFields) and journal the journal
    // of its directory (null in send-only mode or without one); false when unknown.
    bool getHandlerRecord(const std::string& handlerName, QueuedRecord& record,
                          RecordJournal** journal = nullptr);
    // The journal of the channel's directory, or null.
    static RecordJournal* journalOf(const std::string& handlerName);
    // Queues the record, journaled first when there is a journal; false when refused.
    bool queueRecord(RecordJournal* journal, QueuedRecord record);
    // The same for the one record of `slot` (see Thread::takeBlank), without allocating.
    bool queueRecord(RecordJournal* journal, ListJobs& slot);
    // A copy of the channel's record; false when unknown.
    static bool getHandlerSnapshot(const std::string& handlerName, Handler& snapshot);

    static std::string getMapField(const MapValues& mapVals, const std::string& key);
    static void setMapField(MapValues& mapVals, const std::string& key, const std::string& value);

    static bool check_directory(const std::string& path);
    static bool make_directory(const std::string& path);
    static bool check_file(const std::string& path);
    static bool write_file(const std::string& path, const std::string& message);
    static std::string read_file(const std::string& path);

    // ---- requests (httpSenderRequest.cpp) ----
    static bool _getHttpBody(const MapValues& mapVals, std::string& strContent);
    static bool _getHttpOriBody(const MapValues& mapVals, std::string& strContent);
    std::string _getHttpHeader(const CollectorAddress& collector, size_t uiSize);
    // Posts the batch to the collector that address and port name (plain HTTP or HTTPS, as its
    // scheme says) and says what became of each record; nothing is stored here. An address
    // that is not a collector URL answers nothing.
    DeliveryOutcome postToCollector(const std::string& address, uint16_t port, const Batch& batch);
    DeliveryOutcome _httpHandleRequest(const CollectorAddress& collector, const Batch& batch);
    DeliveryOutcome _httpsHandleRequest(const CollectorAddress& collector, const Batch& batch);

    // ---- collector answer (httpSenderResponse.cpp) ----
    // Only a collector answer (a JSON object with "header" and "body" -> "data" ->
    // "resultList") decides per record: a record is accepted when its entry says
    // "isSuccessful" true, refused when its entry says anything else, and not answered when it
    // has no entry (an answer cut at kMaxAnswerBytes, or a shorter list). Any other answer
    // leaves every record not answered.
    static DeliveryOutcome readCollectorAnswer(const std::string& answer, size_t recordCount);
    // Every record of the batch the outcome does not call accepted goes to local storage.
    void keepUndelivered(const Batch& batch, const DeliveryOutcome& outcome,
                         const std::string& handlerName);
    // Every record of the batch goes to local storage (nothing was sent).
    void storeBatch(const Batch& batch, const std::string& handlerName);

    // ---- local storage (httpSenderStorage.cpp, LocalStore in localStore.h) ----
    // Failed deliveries after which a record is dropped instead of stored.
    static constexpr int kMaxDeliveryFailures = 3;
    void save_local_storage(const std::string& message, const std::string& handlerName);
    // Stores the records (compact JSON objects) with one more failure each, in one append.
    void storeRecords(const std::vector<std::string>& records, const std::string& handlerName);
    // Sends what earlier starts stored for the channel's project, once per process and project.
    void check_local_storage(const std::string& handlerName);
    // One log line with the number of records the store could not keep since the last one.
    static void reportStoreLosses();
    // Lets tests see every record handed to local storage.
    std::function<void(const std::string& message, const std::string& handlerName)> m_onStore;

    // ---- remote settings and network insights (httpSenderSettings.cpp) ----
    // Where the settings service is asked; deployment values, replaceable for tests.
    struct SettingsEndpoints {
        std::string url;
        long port = 0;
        // A collector address containing this text is served by the alternative service.
        std::string altCollectorIp;
        std::string altUrl;
        long altPort = 0;
    };
    // Most of a settings answer that is read; a longer answer counts as no answer.
    static constexpr size_t kMaxSettingsBytes = 1024 * 1024;
    static SettingsEndpoints settingsEndpoints();
    static void setSettingsEndpoints(const SettingsEndpoints& endpoints);
    // The switches of the settings answer that "quillmark-user" follows.
    struct SettingsSwitches {
        bool normal = true;
        bool crash = true;
        bool session = true;
        bool networkInsight = false;
    };
    // At the set-up of the first channel that is not "Corvane": creates the measuring thread
    // with that channel's identity, asks for the settings (whose URLs it is fed) and starts it.
    void startNetworkInsight(const Handler& channel);
    void getNetworkInsight(const std::string& addr, const std::string& projectName);
    void saveSettings(const std::string& settingStr);
    void loadSettings();
    void setDefaultSettings();
    // Queues the URLs the settings service wants measured, one job each, on the measuring
    // thread (at most its bound; the rest are dropped); the observer below sees them all.
    void handOverInsightUrls(const std::vector<std::string>& urls);
    std::function<void(const std::vector<std::string>& urls)> m_onInsightUrls;
    // The measuring thread, null until the first qualifying set-up; for tests, from any thread.
    const vesk2Performance* performance() const;

    // ---- identity (httpSenderIdentity.cpp) ----
    std::string getDeviceID();
    void get_host();

    // ---- deduplication (httpSenderDedup.cpp) ----
    // True when the channel sent a record of the same body, level and type while it is
    // remembered.
    bool check_duplicate(const QueuedRecord& record, const std::string& handlerID);

    static std::string hostName();

    // ---- crash report (httpSenderCrash.cpp) ----
    // Completes the crash record from the main channel and posts it at once, on the calling
    // thread, with a sender of its own. strAddr and
    // uiPort are not used: the main channel's record says where the report goes. Nothing is
    // stored: the caller keeps the dump unless the collector accepted the record.
    // What the collector said of the crash record; not answered when it was not sent.
    static DeliveryOutcome sendCrashReport(const std::string& strAddr, uint16_t uiPort,
                                           MapValues mapVals);

    // ---- the crash record prepared ahead, kept crashes (httpSenderPendingCrash.cpp) ----
    using CrashRecordObserver = std::function<void()>;
    // Called, with no lock of ours held, whenever something the main channel's crash record
    // holds changes (registration, user ID, custom fields, host switch, device ID, host name,
    // settings); the crash catcher installs it to prepare its record again.
    static void setCrashRecordObserver(CrashRecordObserver observer);
    // The main channel's crash record as a compact JSON object on one line, crashKeys over the
    // channel's fields, without "sendTime" and the dump; false when there is no main channel.
    static bool prepareCrashRecord(const MapValues& crashKeys, std::string& objectText);

    // Sending held back until the application starts it (delayed start).
    static std::atomic<bool> m_SendThreadStop;
    // False until the first pass has looked the host name up; requests wait for it.
    static std::atomic<bool> m_initializeByThread;
    // True on the thread that runs this process's passes: it may wait for a busy registry,
    // which a crash report (any other thread) must not.
    static bool onSendingThread();
    // Whether HTTPS checks the collector's certificate and host name (build option
    // QUILLMARK_TLS_VERIFY; off accepts a self-signed collector).
    static std::atomic<bool> m_tlsVerify;

protected:
    void running(ListJobs& listVals) override;
    bool holdsRecordsBack() const override { return m_SendThreadStop; }

private:
    // Tests change channel switches the way remote settings do, under m_mtxSvr.
    friend struct HttpSenderTestAccess;

    // The crash report's copy of the main channel and host name (httpSenderCrash.cpp).
    struct CrashTarget {
        bool found = false;
        Handler channel;
        std::string hostName;
    };
    static CrashTarget takeCrashTarget();
    static std::string completeCrashRecord(const CrashTarget& target, MapValues mapVals);
    // Completes the crash record and posts it; what the collector said of it.
    DeliveryOutcome postCrashRecord(const CrashTarget& target, MapValues mapVals);
    // The record phase's fields of a crash record: the channel's, host, network model, version.
    static MapValues crashRecordFields(const Handler& channel, const std::string& hostName,
                                       const std::string& networkModel);
    static void crashRecordInputsChanged(const std::string& handlerName);
    // Sends the crashes earlier processes left in the main channel's directory, oldest first.
    void deliverLeftoverCrashes(const std::string& handlerName);
    static bool leftoverCrashRecord(const pendingCrashes::Crash& crash, MapValues& record);

    // Where a project's bulk goes and under which channel its failures are stored.
    struct BulkTarget {
        std::string address;
        std::string protocol;
        int port = -1;
        std::string handlerName;
    };

    bool registerChannel(std::unique_ptr<Handler>& handler);
    void setUpPendingChannels();
    void setUpChannel(const std::string& handlerName);
    // Reads the channel's device ID back, or makes and keeps a new one, and stores it in the
    // channel record; returns it (httpSenderIdentity.cpp).
    std::string setUpDeviceID(const std::string& handlerName, const std::string& idPath);
    std::string loadDeviceID(const std::string& idPath);
    // What the record phase needs of one channel, copied under m_mtxSvr at the start of a
    // pass so records are completed and serialised without holding the lock.
    struct ChannelView {
        bool deduplicate = false;
        bool sessionEnable = false;
        bool normalEnable = false;
        bool crashEnable = false;
        std::string projectName;
        RecordJournal* journal = nullptr;
        // Added to each of the channel's records (passFieldsOf).
        MapValues passFields;
    };
    struct PassView {
        std::map<std::string, ChannelView> channels;
        std::string hostName;
        std::string networkModel;
    };

    static PassView takePassView();
    // Completes and groups the records of a pass; notes per journal the last record it took.
    void prepareRecords(ListJobs& listVals, std::map<RecordJournal*, uint32_t>& taken);
    // Hands what an earlier process journaled and never delivered to local storage.
    void recoverJournal(const std::string& handlerName);
    static MapValues passFieldsOf(const Handler& channel, const std::string& hostName,
                                  const std::string& networkModel);
    const std::string* prepareRecord(const PassView& view, const QueuedRecord& record, size_t index,
                                     RecordWriter& writer, std::string& reqBody);
    // storeOnly: the batches go to local storage instead of the collector (a shutdown).
    void sendBulks(bool storeOnly);
    static BulkTarget findBulkTarget(const std::string& projectName);
    // The channel's storage directory; false when it is unknown or the registry stayed busy
    // (off the sending thread: a crash report must not wait for a lock its thread may hold).
    static bool storageDirectoryOf(const std::string& handlerName, std::string& directory);
    static std::unique_ptr<vesk2Performance> newPerformanceThread();
    static std::string insightHostOf(const Handler& channel);
    // Applies one answer of the settings service; throws when its members are of other types.
    void applySettingsAnswer(const std::string& answer);
    // Sets the switches of "quillmark-user"; false when that channel is not registered.
    static bool applySettingsSwitches(const SettingsSwitches& switches);
    // Posts the batch and keeps what the collector did not take.
    DeliveryOutcome sendBulk(const BulkTarget& target, const Batch& batch);

    // The channel of that name, or null. The caller holds m_mtxSvr.
    static Handler* _findChannel(const std::string& name);
    // The journal of the channel's directory, or null. The caller holds m_mtxSvr.
    static RecordJournal* _journalOf(const Handler& channel);

    static std::timed_mutex& m_mtxSvr;
    static handlerManager& m_handlerManager;
    static std::string& m_hostName;
    // One journal per channel directory, opened when the first channel of it registers (null
    // when it could not be); like the channels, kept for the rest of the process.
    static std::map<std::string, std::unique_ptr<RecordJournal>>& m_journals;

    // Names of channels registered and not yet set up by the sending thread (under m_mtxSvr).
    std::list<std::string> local_list;
    // Batches of the current pass, by project name.
    std::map<std::string, Batch> BulkMap;
    // Stores that could not be written; a re-send stops when its batch adds one.
    size_t m_storeFailures = 0;
    depulicationQ m_depuliQ;
    mapInfo m_mapList;
    // Created once per sender; while it could not be created, the next qualifying set-up
    // tries again (settings request included). Stopped and joined before it is deleted.
    // Used by the sending thread; set and reset under m_mtxSvr so others may look at it.
    std::unique_ptr<vesk2Performance> m_pPerformance;
    // One transport of each kind, made by the first exchange of its scheme on the thread that
    // sends; each keeps its connection for the next batch and closes it with the sender. The
    // HTTPS one is made anew when m_tlsVerify changes.
    std::unique_ptr<CollectorTransport> m_plainTransport;
    std::unique_ptr<CollectorTransport> m_httpsTransport;
    bool m_httpsTransportVerifies = false;
};
