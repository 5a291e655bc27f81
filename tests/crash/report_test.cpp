// The crash report without a crash: VeskCatcher::sendCrashReport called directly with dump
// files the tests write, in a child process that has initialised "quillmark-user" against a
// loopback collector. These run in every build, sanitizers and qemu included.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/libraryState.h"
#include "crash/veskCatcher.h"
#include "crash_support.h"
#include "plume/quillmark.h"
#include "support/ca_folder.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/raw_server.h"
#include "support/record_queries.h"
#include "support/stored_records.h"
#include "support/temp_dir.h"
#include "transport/exchangeDeadline.h"
#include "transport/httpsTransport.h"
#include "transport/recordWriter.h"
#include "util/collectorAddress.h"
#include "util/tlsTrust.h"

namespace {

// Changes the main channel the way remote settings do.
void setCrashEnable(bool enable) {
    LibraryState::process().registry.updateSwitch(
        VESK_CHANNEL_USER, [enable](Handler& channel) { channel.m_isCrashEnable = enable; });
}

}  // namespace

namespace {

using qm_crash::crashRequests;
using qm_crash::kCrashBody;
using qm_test::CollectorOptions;
using qm_test::CollectorProcess;
using qm_test::runInChild;
using qm_test::TempDir;

const int kChildTimeoutMs = 60000;

// Crash callback of these tests: counts its calls.
int g_callbackCalls = 0;
void countCall(void*) { ++g_callbackCalls; }

int initMain(const std::string& address, uint16_t port, const std::string& storage,
             bool holdRecordsBack = false) {
    return QuillMarkInitialize("ReportApp", storage.c_str(), "3.1.4", address.c_str(), port,
                               "report-src", "report-type", true, holdRecordsBack,
                               "quillmark-user");
}

// Initialises the main channel and waits until its session record arrived, so the sending
// thread is idle when the test reports.
bool initAndSettle(const CollectorProcess& collector, const std::string& storage) {
    if (initMain(collector.address(), collector.port(), storage) != 0) return false;
    return qm_test::waitForBody(collector, "CREATE SESSION", 10000);
}

// With no collector, the session record is stored once the sending thread has set the channel
// up, which also re-sends what the channel stored before: a report made after that is stored
// exactly once.
bool initUnreachableAndSettle(const std::string& address, uint16_t port, const std::string& storage,
                              const std::string& storedFile) {
    if (initMain(address, port, storage) != 0) return false;
    return qm_test::waitUntil(
        [&] {
            for (const auto& item : qm_test::readStored(storedFile)) {
                if (item.record["body"].asString() == "CREATE SESSION") return true;
            }
            return false;
        },
        10000);
}

std::string dumpOfSize(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + 7) & 0xff);
    return bytes;
}

std::vector<Json::Value> crashRecords(const CollectorProcess& collector) {
    return qm_test::withBody(collector, kCrashBody);
}

// Runs `scenario` in a child whose main channel reports to `collector` and has settled.
int reportInChild(const CollectorProcess& collector, const TempDir& storage,
                  const std::function<int()>& scenario, int timeoutMs = kChildTimeoutMs) {
    return runInChild([&] { return initAndSettle(collector, storage.path()) ? scenario() : 2; },
                      timeoutMs);
}

// Reports "one.dmp" from a child whose main channel points where no collector answers.
int reportUnreachable(const std::string& address, uint16_t port, const TempDir& storage) {
    return runInChild(
        [&] {
            qm_test::observeStorage(storage.file("stored.jsonl"));
            if (!initUnreachableAndSettle(address, port, storage.path(),
                                          storage.file("stored.jsonl"))) {
                return 2;
            }
            return gs_crashCatcher.sendCrashReport(kCrashBody, storage.file("one.dmp")) ==
                           VeskCatcher::ReportResult::kKept
                       ? 0
                       : 3;
        },
        kChildTimeoutMs);
}

}  // namespace

TEST(CrashReport, SendsOneCompletedRecordWhoseCrashKeysWin) {
    CollectorProcess collector;
    TempDir storage;
    const std::string dump = dumpOfSize(3000);
    qm_test::writeFileText(storage.file("one.dmp"), dump);
    ASSERT_EQ(0, reportInChild(collector, storage, [&] {
                  QuillMarkAddCustomKey("build", "77");
                  QuillMarkSetUserId("crash-user");
                  QuillMarkEnableHost(false);
                  QuillMarkSetCrashCallback(countCall, nullptr);
                  gs_crashCatcher.sendCrashReport(kCrashBody, storage.file("one.dmp"),
                                                  {{"body", "not this"},
                                                   {"logLevel", "INFO"},
                                                   {"logSource", "elsewhere"},
                                                   {"extra", "kept"},
                                                   {"trap", "\"DmpData\":\"\""}});
                  return g_callbackCalls == 1 ? 0 : 3;
              }));

    const std::vector<Json::Value> requests = crashRequests(collector);
    ASSERT_EQ(1u, requests.size());
    const std::string body = requests[0]["body"].asString();
    EXPECT_EQ(1u, requests[0]["records"].asUInt());
    // Byte for byte what the JSON writer makes of the record, in brackets.
    MapValues received;
    for (const Json::Value& record : crashRecords(collector)) {
        for (const std::string& key : record.getMemberNames())
            received[key] = record[key].asString();
    }
    std::string object;
    ASSERT_TRUE(writeRecordObject(received, object));
    EXPECT_EQ("[" + object + "]", body);

    const std::vector<Json::Value> records = crashRecords(collector);
    ASSERT_EQ(1u, records.size());
    const Json::Value& record = records[0];
    EXPECT_EQ("FATAL", record["logLevel"].asString());
    EXPECT_EQ("CrashDump", record["logSource"].asString());
    EXPECT_EQ("kept", record["extra"].asString());
    EXPECT_EQ("\"DmpData\":\"\"", record["trap"].asString());
    EXPECT_EQ("77", record["build"].asString());
    EXPECT_EQ("crash-user", record["UserID"].asString());
    EXPECT_EQ("-", record["host"].asString());  // clientHost on, host sending switched off
    EXPECT_EQ("ReportApp", record["projectName"].asString());
    EXPECT_EQ("3.1.4", record["projectVersion"].asString());
    EXPECT_EQ("report-type", record["logType"].asString());
    EXPECT_EQ("android-cpp", record["CrashStyle"].asString());
    EXPECT_EQ("breakpad", record["SymMethod"].asString());
    EXPECT_EQ("v2", record["logVersion"].asString());
    EXPECT_FALSE(record["NetworkModel"].asString().empty());
    const std::string model = record["NetworkModel"].asString();
    EXPECT_EQ(model.find("wlan") != std::string::npos ? "Wifi" : "Cellular",
              record["NetworkType"].asString());
    EXPECT_FALSE(record["SessionID"].asString().empty());
    EXPECT_FALSE(record["sendTime"].asString().empty());
    EXPECT_FALSE(record.isMember("qmkBulkIndex"));
    EXPECT_FALSE(record.isMember("handlerName"));
    EXPECT_EQ(dump, qm_test::decodeBase64(record["DmpData"].asString()));
}

// A dump that can never be sent is dropped; without a collector the crash is kept.
TEST(CrashReport, NothingIsCalledOrSentWithoutAUsableDumpOrCollector) {
    using Result = VeskCatcher::ReportResult;
    CollectorProcess collector;
    TempDir storage;
    qm_test::writeFileText(storage.file("empty.dmp"), "");
    qm_test::writeFileText(storage.file("over.dmp"), dumpOfSize(VeskCatcher::MAX_FILE_SIZE + 1));
    const std::string limit = dumpOfSize(VeskCatcher::MAX_FILE_SIZE);
    qm_test::writeFileText(storage.file("limit.dmp"), limit);
    qm_test::writeFileText(storage.file("small.dmp"), "MDMP");
    ASSERT_EQ(0, reportInChild(collector, storage, [&] {
                  QuillMarkSetCrashCallback(countCall, nullptr);
                  for (const char* name : {"empty.dmp", "over.dmp", "missing.dmp"}) {
                      if (gs_crashCatcher.sendCrashReport(kCrashBody, storage.file(name),
                                                          {{"case", name}}) != Result::kDropped) {
                          return 5;
                      }
                  }
                  // A catcher that was never given a collector.
                  VeskCatcher unconfigured;
                  unconfigured.initCrashCallback(countCall, nullptr);
                  if (unconfigured.sendCrashReport(kCrashBody, storage.file("small.dmp"),
                                                   {{"case", "unconfigured"}}) != Result::kKept) {
                      return 6;
                  }
                  if (g_callbackCalls != 0) return 3;
                  if (gs_crashCatcher.sendCrashReport(kCrashBody, storage.file("limit.dmp"),
                                                      {{"case", "limit"}}) != Result::kDelivered) {
                      return 7;
                  }
                  return g_callbackCalls == 1 ? 0 : 4;
              }));
    // The reports are synchronous: everything sent had arrived before the child ended.
    const Json::Value record = qm_test::onlyRecord(collector, kCrashBody);
    EXPECT_EQ("limit", record["case"].asString());
    EXPECT_EQ(limit, qm_test::decodeBase64(record["DmpData"].asString()));
}

// Only a collector's entry that says the record was taken lets the dump go; whatever else it
// answers keeps the crash beside its dump and out of the record store.
TEST(CrashReport, OnlyAnAcceptedReportIsDelivered) {
    using Result = VeskCatcher::ReportResult;
    const struct {
        const char* name;
        std::vector<std::string> collectorArgs;
        Result expected;
    } rows[] = {
        {"accepted", {}, Result::kDelivered},
        {"refused", {"--fail-body", "Android"}, Result::kKept},
        {"status 503", {"--status", "503"}, Result::kKept},
        {"not a collector answer", {"--mode", "html"}, Result::kKept},
        {"garbage answer", {"--mode", "garbage"}, Result::kKept},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        CollectorOptions options;
        options.extraArgs = row.collectorArgs;
        CollectorProcess collector(options);
        TempDir storage;
        qm_test::writeFileText(storage.file("one.dmp"), "MDMP-answered");
        EXPECT_EQ(0, reportInChild(collector, storage, [&] {
                      return gs_crashCatcher.sendCrashReport(kCrashBody, storage.file("one.dmp")) ==
                                     row.expected
                                 ? 0
                                 : 3;
                  }));
        EXPECT_EQ(1u, crashRecords(collector).size());
        const std::string store = storage.path() + "/quillmark/ReportApp/log.txt";
        EXPECT_EQ(std::string::npos, qm_test::readFileText(store).find(kCrashBody));
    }
}

// Crash logs switched off: nothing is sent and the crash is kept, since a next start's settings
// decide again.
TEST(CrashReport, CrashLogsSwitchedOffSendNothingButTheCallbackRuns) {
    using Result = VeskCatcher::ReportResult;
    CollectorProcess collector;
    TempDir storage;
    qm_test::writeFileText(storage.file("one.dmp"), "MDMP-bytes");
    ASSERT_EQ(
        0, reportInChild(collector, storage, [&] {
            QuillMarkSetCrashCallback(countCall, nullptr);
            setCrashEnable(false);
            if (gs_crashCatcher.sendCrashReport(kCrashBody, storage.file("one.dmp"),
                                                {{"case", "off"}}) != Result::kKept) {
                return 4;
            }
            if (g_callbackCalls != 1) return 3;
            setCrashEnable(true);
            gs_crashCatcher.sendCrashReport(kCrashBody, storage.file("one.dmp"), {{"case", "on"}});
            return 0;
        }));
    EXPECT_EQ("on", qm_test::onlyRecord(collector, kCrashBody)["case"].asString());
}

// The sending thread's first pass looks the host name up; a crash before it must still be
// reported, with the host name.
TEST(CrashReport, IsSentBeforeTheSendingThreadsFirstPass) {
    CollectorProcess collector;
    TempDir storage;
    qm_test::writeFileText(storage.file("one.dmp"), "MDMP-bytes");
    ASSERT_EQ(0, reportInChild(collector, storage, [&] {
                  // Back to the state before the first pass.
                  LibraryState::process().registry.setHostName("");
                  gs_crashCatcher.sendCrashReport(kCrashBody, storage.file("one.dmp"));
                  return 0;
              }));
    const std::string host = qm_test::onlyRecord(collector, kCrashBody)["host"].asString();
    EXPECT_FALSE(host.empty());
    EXPECT_NE("-", host);
}

// The crashed thread may itself hold the registry lock (it died inside a registry call): the
// report must not wait for it for ever.
TEST(CrashReport, IsSentWhileTheCrashedThreadHoldsTheRegistryLock) {
    CollectorProcess collector;
    TempDir storage;
    qm_test::writeFileText(storage.file("one.dmp"), "MDMP-bytes");
    ASSERT_EQ(0,
              reportInChild(
                  collector, storage,
                  [&] {
                      // The report runs inside a registry call, as if it had crashed there.
                      LibraryState::process().registry.read(VESK_CHANNEL_USER, [&](const Handler&) {
                          gs_crashCatcher.sendCrashReport(kCrashBody, storage.file("one.dmp"));
                      });
                      return 0;
                  },
                  10000));
    EXPECT_EQ(1u, crashRecords(collector).size());
}

TEST(CrashReport, UndeliveredReportIsKeptOutOfTheStore) {
    TempDir storage;
    const uint16_t nobody = qm_test::unusedLoopbackPort();
    qm_test::writeFileText(storage.file("one.dmp"), "MDMP-stored");
    ASSERT_EQ(0, reportUnreachable("http://127.0.0.1", nobody, storage));
    EXPECT_TRUE(qm_crash::storedCrashes(storage.file("stored.jsonl")).empty());
    EXPECT_EQ("MDMP-stored", qm_test::readFileText(storage.file("one.dmp")));
}

// The report reads the channel's address as a batch does: its port wins over the port argument
// and a trailing slash adds nothing to the path.
TEST(CrashReport, AddressWithPortAndSlashTakesTheReportThere) {
    CollectorProcess collector;
    TempDir storage;
    qm_test::writeFileText(storage.file("one.dmp"), "MDMP-routed");
    const std::string address = "http://127.0.0.1:" + std::to_string(collector.port()) + "/";
    ASSERT_EQ(0, runInChild(
                     [&] {
                         if (initMain(address, 1, storage.path()) != 0) return 2;
                         if (!qm_test::waitForBody(collector, "CREATE SESSION", 10000)) return 3;
                         gs_crashCatcher.sendCrashReport(kCrashBody, storage.file("one.dmp"));
                         return 0;
                     },
                     kChildTimeoutMs));
    EXPECT_EQ(1u, crashRecords(collector).size());
    for (const Json::Value& request : collector.requests()) {
        EXPECT_EQ("/v2/log", request["path"].asString());
    }
}

// The report never reads a CA folder: it trusts the bundle a transfer before it made, or else
// leaves the folder to libcurl, which finds nothing under Android's names.
TEST(CrashReport, HttpsTrustsOnlyACaBundleMadeBefore) {
    CollectorOptions options;
    options.https = true;
    options.pinCertificate = false;
    CollectorProcess collector(options);
    TempDir storage;
    const TempDir caFolder("qm_ca");
    const std::string pem = collector.certificateFile();
    qm_test::writeFileText(caFolder.file(qm_test::hashedCaName(pem, true)),
                           qm_test::androidCaText(pem));
    qm_test::writeFileText(storage.file("one.dmp"), "MDMP-trust");
    const std::optional<CollectorAddress> address =
        parseCollectorAddress(collector.address(), collector.port());
    ASSERT_TRUE(address);
    ASSERT_EQ(
        0, runInChild(
               [&] {
                   // As above: the report is the only TLS connection at a time.
                   if (initMain(collector.address(), collector.port(), storage.path(), true) != 0) {
                       return 2;
                   }
                   QuillMarkDestroy();
                   TlsTrust trust;
                   trust.caPath = caFolder.path().c_str();
                   replaceTlsTrust(&trust);
                   const auto report = [&] {
                       return gs_crashCatcher.sendCrashReport(kCrashBody, storage.file("one.dmp"));
                   };
                   if (report() != VeskCatcher::ReportResult::kKept) return 3;
                   // A transfer outside the report makes the bundle.
                   const std::string none = "[]";
                   CollectorRequest request;
                   request.target = *address;
                   request.path = "/v2/log";
                   request.body = &none;
                   if (!HttpsTransport(true)
                            .exchange(request, ExchangeDeadline(kExchangeTimeout))
                            .complete) {
                       return 4;
                   }
                   const bool delivered = report() == VeskCatcher::ReportResult::kDelivered;
                   replaceTlsTrust(nullptr);
                   return delivered ? 0 : 5;
               },
               kChildTimeoutMs));
    EXPECT_EQ(1u, crashRecords(collector).size());
}

// A collector that takes the request and never answers cannot keep the crashed process alive:
// the HTTPS request ends after its total time-out and the crash is kept beside its dump.
TEST(CrashReport, StalledHttpsCollectorEndsWithinTheTimeOut) {
    CollectorOptions options;
    options.https = true;
    options.extraArgs = {"--delay-ms", "120000"};
    CollectorProcess collector(options);
    TempDir storage;
    qm_test::writeFileText(storage.file("one.dmp"), "MDMP-stalled");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(
        0, runInChild(
               [&] {
                   qm_test::observeStorage(storage.file("stored.jsonl"));
                   // The sending thread is stopped with its session record held back, so the
                   // report is the only TLS connection (the collector's TLS library trips
                   // ThreadSanitizer on two at once). The channel outlives the sending thread.
                   if (initMain(collector.address(), collector.port(), storage.path(), true) != 0) {
                       return 2;
                   }
                   QuillMarkDestroy();
                   return gs_crashCatcher.sendCrashReport(kCrashBody, storage.file("one.dmp")) ==
                                  VeskCatcher::ReportResult::kKept
                              ? 0
                              : 3;
               },
               90000));
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_LT(seconds, 60);
    // It reached the collector, but without an answer it counts as undelivered.
    EXPECT_EQ(1u, crashRecords(collector).size());
    EXPECT_TRUE(qm_crash::storedCrashes(storage.file("stored.jsonl")).empty());
}
