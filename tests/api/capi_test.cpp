// The exported surface: the facade's level conversion, its life cycle, the C entry point's
// defaults, and every exported function fed with hostile arguments. Scenarios that touch the
// library's process-wide state run in a child; the parent judges what the collector received.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "api/quillmark_impl.h"
#include "core/libraryState.h"
#include "platform/host_capture.h"
#include "plume/quillmark.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/record_queries.h"
#include "support/stored_records.h"
#include "support/temp_dir.h"
#include "support/test_project.h"

namespace {

using plume::quillmark::PlumeLog;
using qm_test::CollectorProcess;
using qm_test::onlyRecord;
using qm_test::runInChild;
using qm_test::TempDir;
using qm_test::waitForBody;
using qm_test::withBody;
using qm_test::withField;

constexpr int kChildTimeoutMs = 60000;
constexpr int kDeliveryMs = 8000;
const char* const kKey = "capi-test";
const char* const kVersion = "2.0.1";

const std::string& hugeText() {
    static const std::string text(1024 * 1024, 'a');
    return text;
}
const char* const kBadUtf8 = "\xff\xfe\xc3";
const char* const kBlank = " \t  \t";

// Every level argument a caller could pass, defined or not.
const std::vector<int> kAnyLevels = {-10, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 1000, INT_MIN, INT_MAX};

bool isAcceptedLevel(int level) { return level == 0 || level == 3 || level == 4 || level == 5; }

// Written out independently of the library: FATAL, ERROR, WARN and INFO keep their number,
// everything else is DEBUG.
int expectedPublicLevel(int level) { return isAcceptedLevel(level) ? level : 7; }

QuillMarkLogLevel asLevel(int level) { return static_cast<QuillMarkLogLevel>(level); }

const qm_test::TestProject kProject{kKey, kVersion, "capi-source", "capi-type"};

// Strict: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isStrictUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t follow = 0;
        uint32_t code = 0;
        uint32_t minimum = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            follow = 1, code = lead & 0x1Fu, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            follow = 2, code = lead & 0x0Fu, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            follow = 3, code = lead & 0x07u, minimum = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i - 1 < follow) return false;
        for (size_t k = 1; k <= follow; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += follow + 1;
    }
    return true;
}

bool parsesAsStrictJsonArray(const std::string& text) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &root, &errors) && root.isArray();
}

// Whatever the library was fed, each request it posted is a JSON array in well-formed UTF-8.
void expectEveryRequestIsValidJson(const CollectorProcess& collector) {
    const std::vector<Json::Value> requests = collector.requests();
    EXPECT_FALSE(requests.empty());
    for (const Json::Value& request : requests) {
        const std::string body = request["body"].asString();
        EXPECT_TRUE(isStrictUtf8(body)) << "request of " << body.size() << " bytes";
        EXPECT_TRUE(parsesAsStrictJsonArray(body)) << "request of " << body.size() << " bytes";
    }
}

// ---------------------------------------------------------------------------------------------
// The facade's life cycle

TEST(FacadeLifecycle, DestroyTwiceIsHarmlessAndTheNextCallBuildsANewFacade) {
    const int code = runInChild(
        [] {
            QuillMarkDestroy();  // nothing to destroy yet
            EXPECT_EQ(nullptr, currentPlumeLog());
            EXPECT_EQ(QUILLMARK_DEBUG, QuillMarkGetLogLevel());
            EXPECT_NE(nullptr, currentPlumeLog());
            QuillMarkDestroy();
            EXPECT_EQ(nullptr, currentPlumeLog());
            QuillMarkDestroy();
            DestroyPlumeLog();
            EXPECT_EQ(nullptr, currentPlumeLog());
            EXPECT_EQ(QUILLMARK_DEBUG, QuillMarkGetLogLevel());
            PlumeLog* created = currentPlumeLog();
            EXPECT_NE(nullptr, created);
            EXPECT_EQ(created, GetPlumeLog());
            EXPECT_EQ(created, GetPlumeLog());
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
}

TEST(FacadeLevels, LevelsThroughTheCFunctionsBeforeAndAfterInitialisation) {
    CollectorProcess collector;
    TempDir dir;
    const int code = runInChild(
        [&] {
            EXPECT_EQ(QUILLMARK_DEBUG, QuillMarkGetLogLevel());  // no channel yet
            EXPECT_EQ(0, QuillMarkSendLog(QUILLMARK_INFO, "before initialisation"));
            if (kProject.initMain(collector, dir) != 0) return 1;
            EXPECT_EQ(QUILLMARK_INFO, QuillMarkGetLogLevel());
            QuillMarkSetLogLevel(QUILLMARK_ERROR);
            EXPECT_EQ(QUILLMARK_ERROR, QuillMarkGetLogLevel());
            // TRACE and the undefined 2 are DEBUG, which the core never sends, even when the
            // channel's own level says DEBUG.
            QuillMarkSetLogLevel(QUILLMARK_DEBUG);
            EXPECT_EQ(0, QuillMarkSendLog(QUILLMARK_TRACE, "trace"));
            EXPECT_EQ(0, QuillMarkSendLog(asLevel(2), "two"));
            // The channel's level filters nothing: INFO still goes out under FATAL.
            QuillMarkSetLogLevel(QUILLMARK_FATAL);
            EXPECT_EQ(1, QuillMarkSendLog(QUILLMARK_INFO, "info under fatal"));
            return waitForBody(collector, "info under fatal", kDeliveryMs) ? 0 : 2;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    EXPECT_TRUE(withBody(collector, "trace").empty());
    EXPECT_TRUE(withBody(collector, "two").empty());
    EXPECT_EQ("INFO", onlyRecord(collector, "info under fatal")["logLevel"].asString());
}

// ---------------------------------------------------------------------------------------------
// The C entry point's defaults and the end of a core

TEST(CEntryPoint, NullArgumentsTakeTheDocumentedDefaults) {
    CollectorProcess collector;
    TempDir dir;
    const int code = runInChild(
        [&] {
            if (QuillMarkInitialize(kKey, dir.path().c_str(), nullptr, collector.address().c_str(),
                                    collector.port(), nullptr, nullptr, true, false,
                                    nullptr) != 0) {
                return 1;
            }
            // The null channel name meant "quillmark-user", which the C functions reach.
            EXPECT_EQ(1, QuillMarkSendLog(QUILLMARK_WARN, "defaults"));
            return waitForBody(collector, "defaults", kDeliveryMs) ? 0 : 2;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    const Json::Value record = onlyRecord(collector, "defaults");
    EXPECT_EQ("quillmark-linux", record["logSource"].asString());
    EXPECT_EQ("quillmark-log", record["logType"].asString());
    EXPECT_EQ("1.0.0", record["projectVersion"].asString());
    EXPECT_EQ(kKey, record["projectName"].asString());
}

TEST(CEntryPoint, NullAddressAndPortZeroUseTheBuiltInCollectorOnPort80) {
    TempDir dir;
    const int code = runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            EXPECT_EQ(0, QuillMarkInitialize(kKey, dir.path().c_str(), nullptr, nullptr, 0, nullptr,
                                             nullptr, false, false, nullptr));
            Handler channel;
            if (!LibraryState::process().registry.snapshot("quillmark-user", channel)) return 1;
            EXPECT_EQ(QUILLMARK_DEFAULT_COLLECTOR, channel.m_Addr);
            EXPECT_EQ(80, channel.m_Port);
            EXPECT_EQ(1, QuillMarkSendLog(QUILLMARK_INFO, "to the built-in collector"));
            return 0;  // the built-in address cannot be reached: nothing to wait for
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
}

// Nothing could send a record after the end of a core: it is refused, not queued for nobody.
TEST(CoreLifecycle, AfterDestroyRecordsAreRefusedUntilANewFacadeIsInitialised) {
    CollectorProcess collector;
    TempDir dir;
    const int code = runInChild(
        [&] {
            if (kProject.initMain(collector, dir) != 0) return 1;
            if (!waitForBody(collector, "CREATE SESSION", kDeliveryMs)) return 2;
            GetPlumeLog()->destroy();
            EXPECT_FALSE(GetPlumeLog()->sendLog(QUILLMARK_INFO, "after destroy"));
            EXPECT_STREQ("", GetPlumeLog()->getUserId());  // channel state stays usable

            QuillMarkDestroy();
            EXPECT_EQ(0, QuillMarkSendLog(QUILLMARK_INFO, "after QuillMarkDestroy"));
            EXPECT_EQ(0, kProject.initMain(collector, dir));
            EXPECT_EQ(1, QuillMarkSendLog(QUILLMARK_INFO, "after a new facade"));
            return waitForBody(collector, "after a new facade", kDeliveryMs) ? 0 : 3;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    EXPECT_EQ(1u, withBody(collector, "after a new facade").size());
    EXPECT_TRUE(withBody(collector, "after destroy").empty());
    EXPECT_TRUE(withBody(collector, "after QuillMarkDestroy").empty());
    // The channel was registered by the first core: the second registers nothing new.
    EXPECT_EQ(1u, withBody(collector, "CREATE SESSION").size());
}

// ---------------------------------------------------------------------------------------------
// QuillMarkInitialize with each text argument in turn replaced by hostile text

enum class InitArg { AppKey, StoragePath, Version, Address, Source, Type, Channel };

struct Variant {
    std::string name;
    const char* text;
};

std::vector<Variant> hostileTexts() {
    return {{"null", nullptr},
            {"empty", ""},
            {"blank", kBlank},
            {"huge", hugeText().c_str()},
            {"badUtf8", kBadUtf8}};
}

struct InitCase {
    InitArg arg;
    std::string variant;
    int32_t result;
    // The channel "quillmark-user" exists afterwards, so QuillMarkSendLog queues.
    bool reachable;
};

std::string caseName(const InitCase& c) {
    static const char* const kNames[] = {"AppKey", "StoragePath", "Version", "Address",
                                         "Source", "Type",        "Channel"};
    return std::string(kNames[static_cast<int>(c.arg)]) + "_" + c.variant;
}

// Null and empty storage paths select send-only: the channel works and nothing is laid out.
// A blank path is left out: it names a directory relative to the working directory.
const std::vector<InitCase>& initCases() {
    using A = InitArg;
    static const std::vector<InitCase> cases = {
        {A::AppKey, "null", -2, false},
        {A::AppKey, "empty", -2, false},
        {A::AppKey, "blank", -2, false},
        {A::AppKey, "huge", 0, false},
        {A::AppKey, "badUtf8", -2, false},
        {A::StoragePath, "null", 0, true},
        {A::StoragePath, "empty", 0, true},
        {A::StoragePath, "huge", 0, false},
        {A::StoragePath, "badUtf8", 0, false},
        {A::Version, "null", 0, true},
        {A::Version, "empty", -3, false},
        {A::Version, "blank", -3, false},
        {A::Version, "huge", 0, true},
        {A::Version, "badUtf8", -3, false},
        {A::Address, "null", 0, true},
        {A::Address, "empty", -4, false},
        {A::Address, "blank", -4, false},
        {A::Address, "huge", -4, false},
        {A::Address, "badUtf8", -4, false},
        {A::Source, "null", 0, true},
        {A::Source, "empty", 0, true},
        {A::Source, "blank", 0, true},
        {A::Source, "huge", 0, true},
        {A::Source, "badUtf8", 0, true},
        {A::Type, "null", 0, true},
        {A::Type, "empty", 0, true},
        {A::Type, "blank", 0, true},
        {A::Type, "huge", 0, true},
        {A::Type, "badUtf8", 0, true},
        {A::Channel, "null", 0, true},
        {A::Channel, "empty", 0, false},
        {A::Channel, "blank", 0, false},
        {A::Channel, "huge", 0, false},
        {A::Channel, "badUtf8", 0, false},
    };
    return cases;
}

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const InitCase& c, std::ostream* out) { *out << caseName(c); }

const char* variantText(const std::string& name) {
    for (const Variant& v : hostileTexts()) {
        if (v.name == name) return v.text;
    }
    throw std::logic_error("unknown variant " + name);
}

struct InitArgs {
    const char* appKey = kKey;
    const char* storage = nullptr;
    const char* version = kVersion;
    const char* address = nullptr;
    const char* source = "capi-source";
    const char* type = "capi-type";
    const char* channel = "quillmark-user";
};

InitArgs argsFor(const InitCase& c, const std::string& storage, const std::string& address) {
    InitArgs args;
    args.storage = storage.c_str();
    args.address = address.c_str();
    const char* text = variantText(c.variant);
    switch (c.arg) {
        case InitArg::AppKey:
            args.appKey = text;
            break;
        case InitArg::StoragePath:
            args.storage = text;
            break;
        case InitArg::Version:
            args.version = text;
            break;
        case InitArg::Address:
            args.address = text;
            break;
        case InitArg::Source:
            args.source = text;
            break;
        case InitArg::Type:
            args.type = text;
            break;
        case InitArg::Channel:
            args.channel = text;
            break;
    }
    return args;
}

class HostileInitialize : public ::testing::TestWithParam<InitCase> {};

TEST_P(HostileInitialize, ReturnsTheDocumentedCodeAndEveryQueuedRecordArrives) {
    const InitCase& c = GetParam();
    CollectorProcess collector;
    TempDir dir;
    const std::string probe = "probe " + caseName(c);
    const bool builtInCollector = c.arg == InitArg::Address && c.variant == "null";
    const int code = runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            // A relative storage path lands in the working directory: keep it in ours.
            if (::chdir(dir.path().c_str()) != 0) return 1;
            const std::string address = collector.address();
            const InitArgs args = argsFor(c, dir.path(), address);
            EXPECT_EQ(c.result, QuillMarkInitialize(args.appKey, args.storage, args.version,
                                                    args.address, collector.port(), args.source,
                                                    args.type, true, false, args.channel));
            const int32_t sent = QuillMarkSendLog(QUILLMARK_INFO, probe.c_str());
            EXPECT_EQ(c.reachable ? 1 : 0, sent);
            if (sent == 1 && !builtInCollector) waitForBody(collector, probe, 3000);
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    if (c.reachable && !builtInCollector) {
        // Reported as queued, so it must reach the collector.
        EXPECT_EQ(1u, withBody(collector, probe).size()) << "record lost: " << probe;
        expectEveryRequestIsValidJson(collector);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryTextArgument, HostileInitialize, ::testing::ValuesIn(initCases()),
                         [](const ::testing::TestParamInfo<InitCase>& info) {
                             return caseName(info.param);
                         });

// Collector addresses as an application may write them. "{port}" stands for the collector's
// port; the port argument is 1 where the address names one, so delivery shows which won.
struct AddressCase {
    const char* address;
    uint16_t portArgument;  // 0: the collector's port
    int32_t result;
};

std::string withPort(std::string text, uint16_t port) {
    const size_t at = text.find("{port}");
    if (at != std::string::npos) text.replace(at, 6, std::to_string(port));
    return text;
}

TEST(InitializeAddress, UrlFormsAreAcceptedAndDeliverAndMalformedOnesAreRefused) {
    const std::vector<AddressCase> cases = {
        {"http://127.0.0.1:{port}", 1, 0},
        {"HTTP://127.0.0.1:{port}/", 1, 0},
        {"hTtP://127.0.0.1", 0, 0},
        {"http://127.0.0.1/", 0, 0},
        {"127.0.0.1", 0, -4},
        {"ftp://127.0.0.1", 0, -4},
        {"http://", 0, -4},
        {"http:///v2", 0, -4},
        {"http://127.0.0.1:", 0, -4},
        {"http://127.0.0.1:0", 0, -4},
        {"http://127.0.0.1:70000", 0, -4},
        {"http://127.0.0.1:{port}/?q=1", 0, -4},
        {"http://127.0.0.1:{port}/#top", 0, -4},
        {"http://user@127.0.0.1:{port}", 0, -4},
        {"http://127.0.0.1 :{port}", 0, -4},
        {"http://[::1", 0, -4},
        {"http://[not:an:address]:80", 0, -4},
        {"http://::1:80", 0, -4},
        {"https//127.0.0.1", 0, -4},
    };
    CollectorProcess collector;
    for (const AddressCase& c : cases) {
        const std::string address = withPort(c.address, collector.port());
        SCOPED_TRACE(address);
        const std::string probe = "address " + address;
        TempDir dir;
        const int code = runInChild(
            [&] {
                qm_platform::setLogToStderr(false);
                const uint16_t port = c.portArgument != 0 ? c.portArgument : collector.port();
                EXPECT_EQ(c.result,
                          QuillMarkInitialize(kKey, dir.path().c_str(), kVersion, address.c_str(),
                                              port, nullptr, nullptr, true, false, nullptr));
                const int32_t sent = QuillMarkSendLog(QUILLMARK_INFO, probe.c_str());
                EXPECT_EQ(c.result == 0 ? 1 : 0, sent);
                if (sent == 1) waitForBody(collector, probe, kDeliveryMs);
                QuillMarkDestroy();
                return 0;
            },
            kChildTimeoutMs);
        EXPECT_EQ(0, code);
        EXPECT_EQ(c.result == 0 ? 1u : 0u, withBody(collector, probe).size());
    }
}

TEST(HostileInitializeInterface, NullChannelNameIsRefused) {
    TempDir dir;
    const int code = runInChild(
        [&] {
            EXPECT_EQ(-1, GetPlumeLog()->initialize(kKey, dir.path().c_str(), kVersion,
                                                    "http://127.0.0.1", 1, nullptr, nullptr, true,
                                                    false, nullptr));
            EXPECT_EQ(nullptr, GetPlumeLog()->getUserId());
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
}

// ---------------------------------------------------------------------------------------------
// Every channel operation, through the C functions and through the _Corvane operations

struct ChannelOps {
    std::string name;
    std::function<int32_t(int, const char*)> send;
    std::function<int32_t(const char*, const char*)> add;
    std::function<void(const char*)> remove;
    std::function<void()> clear;
    std::function<int(void)> getLevel;
    std::function<void(int)> setLevel;
    std::function<const char*()> getUser;
    std::function<void(const char*)> setUser;
    std::function<void(bool)> dedup;
    std::function<void(bool)> host;
};

ChannelOps mainOps() {
    return {"main",
            [](int l, const char* m) { return QuillMarkSendLog(asLevel(l), m); },
            [](const char* k, const char* v) { return QuillMarkAddCustomKey(k, v); },
            [](const char* k) { QuillMarkRemoveCustomKey(k); },
            [] { QuillMarkClearCustomKeys(); },
            [] { return static_cast<int>(QuillMarkGetLogLevel()); },
            [](int l) { QuillMarkSetLogLevel(asLevel(l)); },
            [] { return QuillMarkGetUserId(); },
            [](const char* u) { QuillMarkSetUserId(u); },
            [](bool e) { QuillMarkSetDeduplicate(e); },
            [](bool e) { QuillMarkEnableHost(e); }};
}

ChannelOps corvaneOps() {
    return {
        "corvane",
        [](int l, const char* m) { return GetPlumeLog()->sendLog_Corvane(asLevel(l), m) ? 1 : 0; },
        [](const char* k, const char* v) {
            return GetPlumeLog()->addCustomKey_Corvane(k, v) ? 1 : 0;
        },
        [](const char* k) { GetPlumeLog()->removeCustomKey_Corvane(k); },
        [] { GetPlumeLog()->clearCustomKeys_Corvane(); },
        [] { return static_cast<int>(GetPlumeLog()->getLogLevel_Corvane()); },
        [](int l) { GetPlumeLog()->setLogLevel_Corvane(asLevel(l)); },
        [] { return GetPlumeLog()->getUserId_Corvane(); },
        [](const char* u) { GetPlumeLog()->setUserId_Corvane(u); },
        [](bool e) { GetPlumeLog()->setDeduplicate_Corvane(e); },
        [](bool e) { GetPlumeLog()->enableHost_Corvane(e); }};
}

// An unregistered channel refuses everything and changes nothing.
void expectUnregisteredRefusals(const ChannelOps& ops) {
    SCOPED_TRACE(ops.name + " before initialisation");
    EXPECT_EQ(0, ops.send(QUILLMARK_ERROR, "nobody listens"));
    EXPECT_EQ(0, ops.add("key", "value"));
    ops.remove("key");
    ops.clear();
    ops.setLevel(QUILLMARK_ERROR);
    EXPECT_EQ(QUILLMARK_DEBUG, ops.getLevel());
    ops.setUser("someone");
    EXPECT_EQ(nullptr, ops.getUser());
    ops.dedup(false);
}

void exerciseLevels(const ChannelOps& ops, int& serial) {
    for (int level : kAnyLevels) {
        SCOPED_TRACE(ops.name + " level " + std::to_string(level));
        const std::string body = ops.name + " level " + std::to_string(serial++);
        const int32_t sent = ops.send(level, body.c_str());
        EXPECT_EQ(isAcceptedLevel(level) ? 1 : 0, sent);
        ops.setLevel(level);
        EXPECT_EQ(expectedPublicLevel(level), ops.getLevel());
    }
}

// The probes exerciseLevels sent, in its order: accepted levels arrive under their own name,
// refused ones never arrive.
void expectLevelProbes(const CollectorProcess& collector) {
    static const char* const kLevelNames[] = {"FATAL", "", "", "ERROR", "WARN", "INFO"};
    int serial = 0;
    for (const char* channel : {"main", "corvane"}) {
        for (int level : kAnyLevels) {
            const std::string body = std::string(channel) + " level " + std::to_string(serial++);
            const std::vector<Json::Value> found = withBody(collector, body);
            if (!isAcceptedLevel(level)) {
                EXPECT_TRUE(found.empty()) << body;
                continue;
            }
            ASSERT_EQ(1u, found.size()) << body;
            EXPECT_EQ(kLevelNames[level], found[0]["logLevel"].asString()) << body;
        }
    }
}

void exerciseMessages(const ChannelOps& ops) {
    EXPECT_EQ(0, ops.send(QUILLMARK_INFO, nullptr));
    EXPECT_EQ(0, ops.send(QUILLMARK_INFO, ""));
    EXPECT_EQ(0, ops.send(QUILLMARK_INFO, kBlank));
    EXPECT_EQ(1, ops.send(QUILLMARK_INFO, hugeText().c_str()));
    EXPECT_EQ(1, ops.send(QUILLMARK_INFO, kBadUtf8));
}

void exerciseCustomKeys(const ChannelOps& ops) {
    for (const Variant& v : hostileTexts()) {
        SCOPED_TRACE(ops.name + " custom key " + v.name);
        const int32_t asKey = ops.add(v.text, "value");
        const int32_t asValue = ops.add("hostile", v.text);
        EXPECT_TRUE(asKey == 0 || asKey == 1);
        EXPECT_TRUE(asValue == 0 || asValue == 1);
        if (v.text == nullptr ||
            std::string(v.text).find_first_not_of(" \t") == std::string::npos) {
            EXPECT_EQ(0, asKey);  // nothing left after trimming
            EXPECT_EQ(0, asValue);
        }
        // Text that is not UTF-8 is read in the environment's encoding, else as Latin-1: kept,
        // whatever LANG says.
        if (v.text == hugeText().c_str() || v.text == kBadUtf8) {
            EXPECT_EQ(1, asKey);
            EXPECT_EQ(1, asValue);
        }
        ops.remove(v.text);
    }
}

// Fields the library sets cannot be replaced by custom keys; other keys still can.
const char* const kReservedKeys[] = {"DmpData",   "logType",     "logSource", "logLevel",
                                     "errorRate", "handlerName", "body",      "sendTime",
                                     "host",      "logVersion",  "SessionID", "DeviceID"};

void exerciseReservedKeys(const ChannelOps& ops) {
    for (const char* key : kReservedKeys) {
        SCOPED_TRACE(ops.name + " reserved key " + key);
        EXPECT_EQ(0, ops.add(key, "custom"));
        EXPECT_EQ(0, ops.add((std::string(" ") + key + "\t").c_str(), "custom"));
    }
    EXPECT_EQ(1, ops.add("SessionId", "a key of its own"));
    ops.remove("SessionId");
}

void exerciseUserIds(const ChannelOps& ops) {
    ops.setUser(nullptr);
    EXPECT_STREQ("", ops.getUser());
    // A user ID is kept exactly as given: not trimmed, not converted.
    for (const char* text : {"", kBlank, hugeText().c_str(), kBadUtf8}) {
        ops.setUser(text);
        const char* stored = ops.getUser();
        ASSERT_NE(nullptr, stored);
        EXPECT_EQ(std::string(text), std::string(stored));
    }
}

void exerciseSwitches(const ChannelOps& ops) {
    ops.clear();
    ops.dedup(false);
    ops.dedup(true);
    ops.host(false);
    ops.host(true);
}

void exerciseChannel(const ChannelOps& ops, int& serial) {
    SCOPED_TRACE(ops.name);
    exerciseLevels(ops, serial);
    exerciseMessages(ops);
    exerciseCustomKeys(ops);
    exerciseReservedKeys(ops);
    exerciseUserIds(ops);
    exerciseSwitches(ops);
}

void crashCallback(void*) {}

void exerciseProcessWideFunctions() {
    const int32_t opened = QuillMarkOpenCrashCatcher();
    EXPECT_TRUE(opened == 0 || opened == 1);
    EXPECT_EQ(opened == 1, GetPlumeLog()->openCrashCatcher());
    QuillMarkSetCrashCallback(nullptr, nullptr);
    QuillMarkSetCrashCallback(&crashCallback, nullptr);
    GetPlumeLog()->setCrashCallback(nullptr, nullptr);
    QuillMarkCloseCrashCatcher();
    GetPlumeLog()->closeCrashCatcher();
    QuillMarkStartSendThread();
    GetPlumeLog()->startSendThread();
}

TEST(HostileOperations, EveryOperationOnBothChannelsKeepsItsContractAndTheWireValid) {
    CollectorProcess collector;
    TempDir dir;
    const int code = runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            // Pins the conversion of text that is not UTF-8 to one locale.
            ::setenv("LC_ALL", "C.UTF-8", 1);
            const ChannelOps ops[] = {mainOps(), corvaneOps()};
            for (const ChannelOps& channel : ops) expectUnregisteredRefusals(channel);
            exerciseProcessWideFunctions();
            if (kProject.initMain(collector, dir) != 0) return 1;
            expectUnregisteredRefusals(corvaneOps());
            if (kProject.initChannel(collector, dir, "Corvane", "capi-corvane") != 0) return 2;
            int serial = 0;
            for (const ChannelOps& channel : ops) exerciseChannel(channel, serial);
            exerciseProcessWideFunctions();
            EXPECT_EQ(1, QuillMarkSendLog(QUILLMARK_INFO, "main final"));
            EXPECT_TRUE(GetPlumeLog()->sendLog_Corvane(QUILLMARK_INFO, "corvane final"));
            waitForBody(collector, "main final", 20000);
            waitForBody(collector, "corvane final", 20000);
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    // Every hostile custom key was removed again; the last user ID was the invalid text.
    for (const Json::Value& record :
         {onlyRecord(collector, "main final"), onlyRecord(collector, "corvane final")}) {
        EXPECT_FALSE(record.isMember(hugeText()));
        EXPECT_FALSE(record.isMember("DmpData"));
        EXPECT_FALSE(record.isMember("errorRate"));
        EXPECT_EQ("capi-type", record["logType"].asString());
        EXPECT_NE("custom", record["SessionID"].asString());
        EXPECT_TRUE(record.isMember("UserID"));
        EXPECT_TRUE(isStrictUtf8(record["UserID"].asString()));
    }
    EXPECT_EQ(2u, withBody(collector, hugeText()).size());  // one huge message per channel
    expectLevelProbes(collector);
    expectEveryRequestIsValidJson(collector);
}

TEST(HostileOperations, HugeMessageWithInvalidUtf8ArrivesWholeAsValidJson) {
    CollectorProcess collector;
    TempDir dir;
    const std::string message = std::string(1024 * 1024, 'x') + kBadUtf8;
    const int code = runInChild(
        [&] {
            if (kProject.initMain(collector, dir) != 0) return 1;
            QuillMarkSetUserId(kBadUtf8);
            if (QuillMarkSendLog(QUILLMARK_ERROR, message.c_str()) != 1) return 2;
            if (QuillMarkSendLog(QUILLMARK_INFO, "after the big one") != 1) return 3;
            return waitForBody(collector, "after the big one", kDeliveryMs) ? 0 : 4;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
    bool found = false;
    for (const Json::Value& record : collector.records()) {
        const std::string body = record["body"].asString();
        if (body.compare(0, 1024 * 1024, message, 0, 1024 * 1024) != 0) continue;
        found = true;
        EXPECT_EQ("ERROR", record["logLevel"].asString());
        EXPECT_TRUE(isStrictUtf8(body));
    }
    EXPECT_TRUE(found);
    expectEveryRequestIsValidJson(collector);
}

// ---------------------------------------------------------------------------------------------
// Entry points shared by threads: one facade, user IDs read while others set them, no
// exception out of the library

// Runs `count` threads that start `body(index)` together, as close to the same instant as
// the machine allows, and joins them.
void raceThreads(int count, const std::function<void(int)>& body) {
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&go, &body, i] {
            while (!go.load()) std::this_thread::yield();
            body(i);
        });
    }
    go = true;
    for (std::thread& thread : threads) thread.join();
}

TEST(EntryPointRaces, SixteenFirstCallsShareOneFacade) {
    const int code = runInChild(
        [] {
            std::vector<PlumeLog*> seen(16, nullptr);
            raceThreads(16, [&seen](int i) { seen[i] = GetPlumeLog(); });
            for (PlumeLog* facade : seen) EXPECT_EQ(currentPlumeLog(), facade);
            // Two destroys racing delete it once.
            raceThreads(2, [](int) { DestroyPlumeLog(); });
            EXPECT_EQ(nullptr, currentPlumeLog());
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
}

TEST(EntryPointRaces, UserIdReadWhileOthersSetItIsAlwaysOneWholeValue) {
    CollectorProcess collector;
    TempDir dir;
    const int code = runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            if (kProject.initMain(collector, dir, true, true) != 0) return 1;
            const std::string ids[] = {std::string(300, 'a'), std::string(5, 'b'), ""};
            std::atomic<int> torn{0};
            raceThreads(4, [&](int i) {
                for (int n = 0; n < 3000; ++n) {
                    if (i < 2) {
                        QuillMarkSetUserId(ids[(n + i) % 3].c_str());
                        continue;
                    }
                    const char* id = QuillMarkGetUserId();
                    // The text stays this thread's until its next call, whatever others set.
                    std::this_thread::yield();
                    const std::string read = id ? id : "(null)";
                    if (read != ids[0] && read != ids[1] && read != ids[2]) ++torn;
                }
            });
            EXPECT_EQ(0, torn.load());
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// Out of memory inside an operation: the C function returns its failure value and the
// process goes on (an exception leaving a C function would end it in std::terminate).
TEST(EntryPointRaces, AnExceptionInsideAnOperationBecomesItsFailureValue) {
    // qemu-user maps the guest's memory itself: an address-space limit does not reach the
    // guest's allocations the way it does natively.
    if (std::getenv("QM_UNDER_QEMU") != nullptr) GTEST_SKIP() << "runs under qemu-user";
    const int code = runInChild(
        [] {
            const std::string huge(64 * 1024 * 1024, 'h');
            GetPlumeLog();
            rlimit limit{};
            if (getrlimit(RLIMIT_AS, &limit) != 0) return 1;
            std::ifstream status("/proc/self/statm");
            size_t pages = 0;
            status >> pages;
            limit.rlim_cur = pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + (16u << 20);
            if (setrlimit(RLIMIT_AS, &limit) != 0) return 2;
            EXPECT_EQ(0, QuillMarkAddCustomKey("key", huge.c_str()));
            EXPECT_EQ(-1, QuillMarkInitialize(huge.c_str(), "/tmp", kVersion, "http://127.0.0.1",
                                              80, nullptr, nullptr, true, true, nullptr));
            EXPECT_FALSE(GetPlumeLog()->addCustomKey_Corvane(huge.c_str(), "value"));
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
}
#endif

// ---------------------------------------------------------------------------------------------
// fork(): a child of a process whose threads log never waits on the library

constexpr int kForks = 200;
constexpr int kChildBoundMs = 5000;

// What a forked child sees: every call returns its failure value at once, destroy included.
int childOfALoggingProcess() {
    EXPECT_EQ(0, QuillMarkSendLog(QUILLMARK_ERROR, "from the child"));
    EXPECT_EQ(0, QuillMarkAddCustomKey("child", "yes"));
    EXPECT_EQ(nullptr, QuillMarkGetUserId());
    EXPECT_EQ(QUILLMARK_DEBUG, QuillMarkGetLogLevel());
    QuillMarkSetUserId("child");
    EXPECT_FALSE(GetPlumeLog()->sendLog_Corvane(QUILLMARK_ERROR, "from the child"));
    EXPECT_EQ(-1, QuillMarkInitialize(kKey, "/tmp", kVersion, "http://127.0.0.1", 80, nullptr,
                                      nullptr, true, false, nullptr));
    QuillMarkDestroy();
    EXPECT_EQ(0, QuillMarkSendLog(QUILLMARK_ERROR, "after destroy in the child"));
    return 0;
}

TEST(ForkedChild, TwoHundredForksWhileThreeThreadsLogNeverBlockAChild) {
    CollectorProcess collector;
    TempDir dir;
    const int code = runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            if (kProject.initMain(collector, dir) != 0) return 1;
            std::atomic<bool> stop{false};
            std::vector<std::thread> loggers;
            for (int t = 0; t < 3; ++t) {
                loggers.emplace_back([&stop, t] {
                    for (int n = 0; !stop.load(); ++n) {
                        QuillMarkSendLog(QUILLMARK_INFO, "parent");
                        QuillMarkAddCustomKey("logger", std::to_string(t).c_str());
                        QuillMarkSetUserId(std::to_string(n).c_str());
                        QuillMarkGetUserId();
                    }
                });
            }
            int blocked = 0;
            int failed = 0;
            for (int i = 0; i < kForks; ++i) {
                const int child = runInChild(childOfALoggingProcess, kChildBoundMs);
                if (child == -1) ++blocked;
                if (child != 0 && child != -1) ++failed;
            }
            stop = true;
            for (std::thread& logger : loggers) logger.join();
            EXPECT_EQ(0, blocked) << "children that did not end within " << kChildBoundMs << " ms";
            EXPECT_EQ(0, failed);
            // The parent goes on as before, once its sending thread made room in the queue.
            const bool queued = qm_test::waitUntil(
                [] { return QuillMarkSendLog(QUILLMARK_ERROR, "parent after the forks") == 1; },
                30000);
            if (!queued) return 2;
            return waitForBody(collector, "parent after the forks", 30000) ? 0 : 3;
        },
        180000);
    EXPECT_EQ(0, code);
    EXPECT_TRUE(withBody(collector, "from the child").empty());
}

}  // namespace
