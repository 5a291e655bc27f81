// The crash report without a crash: VeskCatcher::sendCrashReport called directly with dump
// files the tests write, for a main channel initialised on a state of the test's own whose
// exchanges a scripted collector answers. These run in every build, sanitizers and qemu
// included.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/libraryState.h"
#include "core/vesk2.h"
#include "crash/veskCatcher.h"
#include "crash_support.h"
#include "support/file_text.h"
#include "support/record_queries.h"
#include "support/scripted_state.h"
#include "support/stored_records.h"
#include "transport/recordWriter.h"
#include "util/jsonText.h"

namespace {

using qm_crash::kCrashBody;
using qm_test::ScriptedCollector;
using qm_test::SeenRequest;
using Result = VeskCatcher::ReportResult;

void countCall(void* calls) { ++*static_cast<int*>(calls); }

std::string dumpOfSize(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + 7) & 0xff);
    return bytes;
}

// "ReportApp" on the main channel of a state of its own, settled (its session record answered)
// so the sending thread is idle when the test reports. The process's catcher reports for it
// while it lives; its callback is put back to none when it goes.
struct MainChannel : qm_test::ScriptedState {
    explicit MainChannel(const std::string& address = kAddress, int port = 80) {
        state.store.setKeepObserver([this](const std::string& record, const std::string&) {
            Json::Value parsed;
            jsonText::parse(record, parsed);
            std::lock_guard lock(mutex);
            kept.push_back(parsed["body"].asString());
        });
        settled = core.initialize("ReportApp", storage.path().c_str(), "3.1.4", "report-src",
                                  "report-type", address.c_str(), port, true, false,
                                  VESK_CHANNEL_USER) == 0 &&
                  collector.waitForRecords(1, 10000);
    }
    ~MainChannel() { gs_crashCatcher.initCrashCallback(nullptr, nullptr); }

    // The bodies of the records handed to the record store.
    std::vector<std::string> keptBodies() {
        std::lock_guard lock(mutex);
        return kept;
    }
    Result report(const std::string& dumpName, const MapValues& fields = {}) {
        return gs_crashCatcher.sendCrashReport(kCrashBody, storage.file(dumpName), fields);
    }
    // The requests that carried a dump.
    std::vector<SeenRequest> crashRequests() const {
        std::vector<SeenRequest> found;
        for (const SeenRequest& request : collector.requests()) {
            if (request.body.find("\"DmpData\"") != std::string::npos) found.push_back(request);
        }
        return found;
    }
    std::vector<Json::Value> crashRecords() const { return withBody(kCrashBody); }

    // Before the core: its sending thread may still hand records to the store when it stops.
    std::mutex mutex;
    std::vector<std::string> kept;
    VESK2Log core{state};
    bool settled = false;
};

}  // namespace

TEST(CrashReport, SendsOneCompletedRecordWhoseCrashKeysWin) {
    MainChannel main;
    ASSERT_TRUE(main.settled);
    const std::string dump = dumpOfSize(3000);
    qm_test::writeFileText(main.storage.file("one.dmp"), dump);
    main.core.addGlobalField("build", "77", VESK_CHANNEL_USER);
    main.core.setUserId("crash-user", VESK_CHANNEL_USER);
    main.core.enableHost(false, VESK_CHANNEL_USER);
    int calls = 0;
    main.core.setCrashCallback(countCall, &calls);
    main.report("one.dmp", {{"body", "not this"},
                            {"logLevel", "INFO"},
                            {"logSource", "elsewhere"},
                            {"extra", "kept"},
                            {"trap", "\"DmpData\":\"\""}});
    EXPECT_EQ(1, calls);

    const std::vector<SeenRequest> requests = main.crashRequests();
    ASSERT_EQ(1u, requests.size());
    ASSERT_EQ(1u, requests[0].records.size());
    const Json::Value& record = requests[0].records[0];
    // Byte for byte what the JSON writer makes of the record, in brackets, with the list of
    // last logs as an array in place of its string.
    MapValues received;
    for (const std::string& key : record.getMemberNames()) {
        if (key != "LastLogs") received[key] = record[key].asString();
    }
    received["LastLogs"] = "";
    std::string object;
    ASSERT_TRUE(writeRecordObject(received, object));
    const std::string list = jsonText::writeCompact(record["LastLogs"]);
    object.replace(object.find("\"LastLogs\":\"\"") + 11, 2, list.substr(0, list.size() - 1));
    EXPECT_EQ("[" + object + "]", requests[0].body);

    EXPECT_EQ(kCrashBody, record["body"].asString());
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
    const std::string model = record["NetworkModel"].asString();
    EXPECT_FALSE(model.empty());
    EXPECT_EQ(model.find("wlan") != std::string::npos ? "Wifi" : "Cellular",
              record["NetworkType"].asString());
    EXPECT_FALSE(record["SessionID"].asString().empty());
    EXPECT_FALSE(record["sendTime"].asString().empty());
    EXPECT_FALSE(record.isMember("qmkBulkIndex"));
    EXPECT_FALSE(record.isMember("handlerName"));
    EXPECT_EQ(dump, qm_test::decodeBase64(record["DmpData"].asString()));

    // A report's own entries are its own: the next report does not carry them.
    main.report("one.dmp");
    const std::vector<Json::Value> records = main.crashRecords();
    ASSERT_EQ(2u, records.size());
    EXPECT_FALSE(records[1].isMember("extra"));
    EXPECT_FALSE(records[1].isMember("trap"));
}

// A dump that can never be sent is dropped; without a collector the crash is kept. Neither
// calls the application's callback.
TEST(CrashReport, NothingIsCalledOrSentWithoutAUsableDumpOrCollector) {
    MainChannel main;
    ASSERT_TRUE(main.settled);
    qm_test::writeFileText(main.storage.file("empty.dmp"), "");
    qm_test::writeFileText(main.storage.file("over.dmp"),
                           dumpOfSize(VeskCatcher::MAX_FILE_SIZE + 1));
    const std::string limit = dumpOfSize(VeskCatcher::MAX_FILE_SIZE);
    qm_test::writeFileText(main.storage.file("limit.dmp"), limit);
    qm_test::writeFileText(main.storage.file("small.dmp"), "MDMP");
    int calls = 0;
    main.core.setCrashCallback(countCall, &calls);
    for (const char* name : {"empty.dmp", "over.dmp", "missing.dmp"}) {
        EXPECT_EQ(Result::kDropped, main.report(name, {{"case", name}})) << name;
    }
    // A catcher that was never given a collector.
    VeskCatcher unconfigured;
    unconfigured.initCrashCallback(countCall, &calls);
    EXPECT_EQ(Result::kKept,
              unconfigured.sendCrashReport(kCrashBody, main.storage.file("small.dmp"),
                                           {{"case", "unconfigured"}}));
    EXPECT_EQ(0, calls);
    EXPECT_EQ(Result::kDelivered, main.report("limit.dmp", {{"case", "limit"}}));
    EXPECT_EQ(1, calls);
    // The reports are synchronous: everything sent had arrived when they returned.
    const Json::Value record = qm_test::onlyRecord(main.collector.records(), kCrashBody);
    EXPECT_EQ("limit", record["case"].asString());
    EXPECT_EQ(limit, qm_test::decodeBase64(record["DmpData"].asString()));
}

// Only a collector's entry that says the record was taken lets the dump go; whatever else it
// answers, or no answer at all, keeps the crash beside its dump and out of the record store.
TEST(CrashReport, OnlyAnAcceptedReportIsDelivered) {
    const struct {
        const char* name;
        ScriptedCollector::Responder answer;
        Result expected;
    } rows[] = {
        {"accepted", ScriptedCollector::acceptAll(), Result::kDelivered},
        {"refused", ScriptedCollector::always(200, ScriptedCollector::answerFor({false})),
         Result::kKept},
        {"status 503", ScriptedCollector::always(503, ScriptedCollector::answerFor({true})),
         Result::kKept},
        {"not a collector answer", ScriptedCollector::always(200, "<html><body>ok</body></html>"),
         Result::kKept},
        {"garbage answer", ScriptedCollector::always(200, "\x01{[\"resultList\""), Result::kKept},
        {"unreachable", ScriptedCollector::unreachable(), Result::kKept},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MainChannel main;
        ASSERT_TRUE(main.settled);
        qm_test::writeFileText(main.storage.file("one.dmp"), "MDMP-answered");
        main.collector.setResponder(row.answer);
        EXPECT_EQ(row.expected, main.report("one.dmp"));
        EXPECT_EQ(1u, main.crashRequests().size());
        for (const std::string& body : main.keptBodies()) EXPECT_NE(kCrashBody, body);
        EXPECT_EQ("MDMP-answered", qm_test::readFileText(main.storage.file("one.dmp")));
    }
}

// Crash logs switched off: nothing is sent and the crash is kept, since a next start's settings
// decide again; the application's callback still runs.
TEST(CrashReport, CrashLogsSwitchedOffSendNothingButTheCallbackRuns) {
    MainChannel main;
    ASSERT_TRUE(main.settled);
    qm_test::writeFileText(main.storage.file("one.dmp"), "MDMP-bytes");
    int calls = 0;
    main.core.setCrashCallback(countCall, &calls);
    // Changed the way remote settings change it.
    const auto crashLogs = [&main](bool enable) {
        main.state.registry.updateSwitch(
            VESK_CHANNEL_USER, [enable](Handler& channel) { channel.m_isCrashEnable = enable; });
    };
    crashLogs(false);
    EXPECT_EQ(Result::kKept, main.report("one.dmp", {{"case", "off"}}));
    EXPECT_EQ(1, calls);
    crashLogs(true);
    main.report("one.dmp", {{"case", "on"}});
    EXPECT_EQ("on", qm_test::onlyRecord(main.collector.records(), kCrashBody)["case"].asString());
}

// Where the report finds its channel hard to read: before the sending thread's first pass looked
// the host name up (the report looks it up itself), and while the crashed thread holds the
// registry lock because it died inside a registry call (the report must not wait for ever).
TEST(CrashReport, IsSentBeforeTheFirstPassAndWhileTheCrashedThreadHoldsTheRegistryLock) {
    MainChannel main;
    ASSERT_TRUE(main.settled);
    qm_test::writeFileText(main.storage.file("one.dmp"), "MDMP-bytes");
    main.state.registry.setHostName("");
    main.report("one.dmp", {{"case", "no host name yet"}});
    main.state.registry.read(VESK_CHANNEL_USER, [&main](const Handler&) {
        main.report("one.dmp", {{"case", "held"}});
    });
    const std::vector<Json::Value> records = main.crashRecords();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("no host name yet", records[0]["case"].asString());
    EXPECT_FALSE(records[0]["host"].asString().empty());
    EXPECT_NE("-", records[0]["host"].asString());
    EXPECT_EQ("held", records[1]["case"].asString());
}

// The report reads the channel's address as a batch does: its port wins over the port argument
// and a trailing slash adds nothing to the path.
TEST(CrashReport, AddressWithPortAndSlashTakesTheReportThere) {
    MainChannel main("http://collector.test:8123/", 1);
    ASSERT_TRUE(main.settled);
    qm_test::writeFileText(main.storage.file("one.dmp"), "MDMP-routed");
    EXPECT_EQ(Result::kDelivered, main.report("one.dmp"));
    EXPECT_EQ(1u, main.crashRequests().size());
    for (const SeenRequest& request : main.collector.requests()) {
        if (request.get) continue;  // the settings request
        EXPECT_EQ("http://collector.test:8123/v2/log", request.url);
    }
}

// A collector that takes the request and never answers cannot keep the crashed process alive:
// the report's exchange has its own bound, whole even after a shutdown cut the sending thread's
// exchanges off, and without an answer the crash is kept beside its dump.
TEST(CrashReport, StalledCollectorHoldsTheReportNoLongerThanAnExchange) {
    MainChannel main("https://collector.test", 443);
    ASSERT_TRUE(main.settled);
    qm_test::writeFileText(main.storage.file("one.dmp"), "MDMP-stalled");
    main.core.destory();  // the channel outlives the sending thread
    std::chrono::milliseconds given{-1};
    main.collector.setResponder([&given](const SeenRequest&, const ExchangeDeadline& deadline) {
        given = deadline.remaining();
        CollectorAnswer stalled;
        stalled.connected = stalled.sent = true;
        return stalled;
    });
    EXPECT_EQ(Result::kKept, main.report("one.dmp"));
    EXPECT_LE(given, kExchangeTimeout);
    EXPECT_GT(given, kExchangeTimeout - std::chrono::seconds(5));
    ASSERT_EQ(1u, main.crashRequests().size());
    EXPECT_EQ("https://collector.test:443/v2/log", main.crashRequests()[0].url);
    for (const std::string& body : main.keptBodies()) EXPECT_NE(kCrashBody, body);
}

// What a crash writes beside its dump from the signal path, prepared from the main channel
// before any crash: the complete record without the dump, and the crash time. A catcher of its
// own: once it wrote a record, a catcher prepares nothing more.
TEST(CrashRecord, IsPreparedFromTheMainChannelAndWrittenBesideTheDumpWithTheCrashTime) {
    MainChannel main;
    ASSERT_TRUE(main.settled);
    main.core.addGlobalField("build", "77", VESK_CHANNEL_USER);
    main.core.setUserId("crash-user", VESK_CHANNEL_USER);
    VeskCatcher catcher;
    catcher.initCrashServer("http://collector.test", 80, &main.state.crash);
    const std::string dump = main.storage.file("crash.dmp");
    qm_test::writeFileText(dump, "MDMP");
    const int64_t before = qm_test::nowMs();
    ASSERT_TRUE(catcher.writePreparedRecord(dump.c_str()));
    const int64_t after = qm_test::nowMs();
    catcher.releasePreparedRecord();

    const std::vector<std::string> lines =
        qm_crash::splitLines(qm_test::readFileText(main.storage.file("crash.rec")));
    ASSERT_EQ(2u, lines.size());
    Json::Value record;
    ASSERT_TRUE(jsonText::parse(lines[0], record));
    EXPECT_EQ(kCrashBody, record["body"].asString());
    EXPECT_EQ("FATAL", record["logLevel"].asString());
    EXPECT_EQ("CrashDump", record["logSource"].asString());
    EXPECT_EQ("ReportApp", record["projectName"].asString());
    EXPECT_EQ("3.1.4", record["projectVersion"].asString());
    EXPECT_EQ("report-type", record["logType"].asString());
    EXPECT_EQ("77", record["build"].asString());
    EXPECT_EQ("crash-user", record["UserID"].asString());
    EXPECT_FALSE(record["NetworkModel"].asString().empty());
    EXPECT_FALSE(record["NetworkType"].asString().empty());
    EXPECT_EQ("v2", record["logVersion"].asString());
    EXPECT_FALSE(record.isMember("DmpData"));
    EXPECT_FALSE(record.isMember("sendTime"));
    const int64_t crashTime = std::stoll(lines[1]);
    EXPECT_LE(before, crashTime);
    EXPECT_GE(after, crashTime);

    // Prepared again after each change (as the registry's observer does for the process's
    // catcher), the record holds every field as it is now, once; past the record's bound nothing
    // is prepared, until the fields shrink again.
    VeskCatcher changed;
    changed.initCrashServer("http://collector.test", 80, &main.state.crash);
    auto change = [&](const char* key, const std::string& value) {
        if (value.empty()) {
            main.core.delGlobalField(key, VESK_CHANNEL_USER);
        } else {
            main.core.addGlobalField(key, value.c_str(), VESK_CHANNEL_USER);
        }
        changed.refreshPreparedRecord();
    };
    for (int i = 0; i < 6; ++i) {
        const std::string key = "f" + std::to_string(i);
        change(key.c_str(), "v" + key);
    }
    change("f2", "changed \"2\"");
    change("f4", "");
    change("big", std::string(40000, 'b'));
    change("big2", std::string(40000, 'b'));
    VeskCatcher tooLarge;
    tooLarge.initCrashServer("http://collector.test", 80, &main.state.crash);
    EXPECT_FALSE(tooLarge.writePreparedRecord(dump.c_str()));
    change("big", "");
    change("big2", "");
    ASSERT_TRUE(changed.writePreparedRecord(dump.c_str()));
    changed.releasePreparedRecord();
    const std::string text =
        qm_crash::splitLines(qm_test::readFileText(main.storage.file("crash.rec")))[0];
    ASSERT_TRUE(jsonText::parse(text, record));
    const std::map<std::string, std::string> expected = {
        {"f0", "vf0"}, {"f1", "vf1"}, {"f2", "changed \"2\""}, {"f3", "vf3"}, {"f5", "vf5"}};
    for (const auto& [key, value] : expected) {
        EXPECT_EQ(value, record[key].asString()) << key;
        EXPECT_EQ(text.find("\"" + key + "\":"), text.rfind("\"" + key + "\":")) << key;
    }
    EXPECT_FALSE(record.isMember("f4"));
    EXPECT_FALSE(record.isMember("big"));
    EXPECT_EQ("77", record["build"].asString());

    // Members kept from one change to the next make the text writeRecordObject makes of the
    // same fields, whatever changed, went or came in between.
    CrashMembers members;
    const MapValues upper{{"body", "crash"}, {"logLevel", "FATAL"}};
    const std::vector<MapValues> changes = {
        {{"a", "1"}, {"body", "replaced"}, {"handlerName", "u"}, {"q", "quote \" \\ \n"}},
        {{"a", "2"}, {"handlerName", "u"}, {"q", "quote \" \\ \n"}, {"z", "\xC3\xA9"}},
        {{"0", "first"}, {"a", "2"}, {"bad", "\xFF byte"}, {"z", "\xC3\xA9"}},
        {{"\xFF key", "needs repair"}, {"a", "2"}},
        {{"a", "3"}},
    };
    for (const MapValues& channel : changes) {
        std::string made;
        ASSERT_TRUE(members.write({&channel, &upper}, PreparedCrash::kCapacity, made));
        MapValues merged = channel;
        for (const auto& [key, value] : upper) merged[key] = value;
        std::string expectedText;
        ASSERT_TRUE(writeRecordObject(merged, expectedText));
        EXPECT_EQ(expectedText, made + "\n");
    }
}

namespace {

std::vector<std::string> bodiesOf(const Json::Value& list) {
    std::vector<std::string> bodies;
    for (const Json::Value& entry : list) bodies.push_back(entry["body"].asString());
    return bodies;
}

std::vector<std::string> numbered(const std::string& prefix, int from, int to) {
    std::vector<std::string> bodies;
    for (int i = from; i < to; ++i) bodies.push_back(prefix + std::to_string(i));
    return bodies;
}

void logNumbered(MainChannel& main, const std::string& prefix, int count) {
    for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(main.core.sendLog(VESK_LL_WARN, (prefix + std::to_string(i)).c_str(),
                                      VESK_CHANNEL_USER));
    }
}

// A body over the text bound whose bound falls inside a two-byte character.
std::string longBody() {
    std::string body = "WARN ";
    while (body.size() < 20000) body += "\xC3\xA9";  // é
    return body;
}

}  // namespace

// The records the main channel logged last travel with its crash: written beside the dump by
// the signal path, carried the same by the report of the crashed process and by the one a next
// start sends; the records themselves are delivered as ever.
TEST(CrashRecord, CarriesTheLastLogsOfItsChannelInEveryReport) {
    const struct {
        const char* name;
        std::function<void(MainChannel&)> log;
        std::vector<std::string> expected;
        bool answered = true;
    } rows[] = {
        {"no record", [](MainChannel&) {}, {}},
        {"fewer than the bound",
         [](MainChannel& main) {
             main.core.sendLog(VESK_LL_ERROR, "ERROR first", VESK_CHANNEL_USER);
             main.core.sendLog(VESK_LL_INFO, "INFO quote \" and \n line", VESK_CHANNEL_USER);
             main.core.sendLog(VESK_LL_FATAL, "FATAL third", VESK_CHANNEL_USER);
         },
         {"ERROR first", "INFO quote \" and \n line", "FATAL third"}},
        {"more than the bound", [](MainChannel& main) { logNumbered(main, "WARN record ", 100); },
         numbered("WARN record ", 36, 100)},
        {"long bodies cut on a character",
         [](MainChannel& main) {
             main.core.sendLog(VESK_LL_WARN, "WARN older", VESK_CHANNEL_USER);
             main.core.sendLog(VESK_LL_WARN, longBody().c_str(), VESK_CHANNEL_USER);
         },
         {longBody().substr(0, 16383)}},
        {"two channels on one journal",
         [](MainChannel& main) {
             ASSERT_EQ(0, main.core.initialize("ReportApp", main.storage.path().c_str(), "3.1.4",
                                               "report-src", "report-type", MainChannel::kAddress,
                                               80, true, false, VESK_CHANNEL_CORVANE));
             for (int i = 0; i < 3; ++i) {
                 main.core.sendLog(VESK_LL_WARN, ("WARN main " + std::to_string(i)).c_str(),
                                   VESK_CHANNEL_USER);
                 main.core.sendLog(VESK_LL_WARN, ("WARN other " + std::to_string(i)).c_str(),
                                   VESK_CHANNEL_CORVANE);
             }
         },
         numbered("WARN main ", 0, 3)},
        {"a channel with 30 custom fields of 1 KiB",
         [](MainChannel& main) {
             for (int i = 0; i < 30; ++i) {
                 main.core.addGlobalField(("custom" + std::to_string(i)).c_str(),
                                          std::string(1024, 'c').c_str(), VESK_CHANNEL_USER);
             }
             logNumbered(main, "WARN fields ", 3);
         },
         numbered("WARN fields ", 0, 3)},
        {"right after a burst", [](MainChannel& main) { logNumbered(main, "WARN burst ", 300); },
         numbered("WARN burst ", 236, 300)},
        {"not answered, sent at the next start",
         [](MainChannel& main) { logNumbered(main, "WARN kept ", 5); },
         numbered("WARN kept ", 0, 5), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MainChannel main;
        ASSERT_TRUE(main.settled);
        row.log(main);
        VeskCatcher catcher;
        catcher.initCrashServer(MainChannel::kAddress, 80, &main.state.crash);
        // In the channel's directory, where a next start looks for kept crashes.
        const std::string stem = main.storage.file("quillmark/ReportApp/crash");
        const std::string dump = stem + ".dmp";
        qm_test::writeFileText(dump, "MDMP");
        ASSERT_TRUE(catcher.writePreparedRecord(dump.c_str()));
        if (!row.answered) main.collector.setResponder(ScriptedCollector::unreachable());
        EXPECT_EQ(row.answered ? Result::kDelivered : Result::kKept,
                  catcher.sendCrashReport(kCrashBody, dump, {}));
        catcher.releasePreparedRecord();

        Json::Value written;
        ASSERT_TRUE(jsonText::parse(qm_crash::splitLines(qm_test::readFileText(stem + ".rec"))[0],
                                    written));
        const Json::Value list = written["LastLogs"];
        EXPECT_EQ(row.expected, bodiesOf(list));
        // Each body begins with the level it was logged at.
        for (const Json::Value& entry : list) {
            EXPECT_EQ(0u, entry["body"].asString().find(entry["logLevel"].asString() + " "));
            EXPECT_GT(std::stoll(entry["sendTime"].asString()), 1000000000000LL);
        }

        main.collector.setResponder(ScriptedCollector::acceptAll());
        const timeval past[2] = {{1000000000, 0}, {1000000000, 0}};  // an earlier process's
        utimes(dump.c_str(), past);
        main.state.crash.deliverKept(*main.collector.factory()());
        const std::vector<Json::Value> reports = main.crashRecords();
        ASSERT_EQ(2u, reports.size());
        for (const Json::Value& report : reports) EXPECT_EQ(list, report["LastLogs"]);
        // The logged records still arrive, each once.
        for (const std::string& body : row.expected) {
            if (body.size() > 100) continue;
            ASSERT_TRUE(main.waitForBody(body, 10000)) << body;
            EXPECT_EQ(1u, main.withBody(body).size()) << body;
        }
    }
}
