// The exported surface. What the facade does with its arguments, hostile ones included, runs
// in-process on a facade of the test's own state whose exchanges a scripted collector answers.
// What is the C functions' own (their defaults, the one facade of the process and its life
// cycle, failure values after an exception or in a forked child) runs in a child, since the C
// functions always use the process's state.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
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
#include "support/scoped_variable.h"
#include "support/scripted_state.h"
#include "support/slow_build.h"
#include "support/stored_records.h"
#include "support/temp_dir.h"
#include "support/test_project.h"

namespace {

using plume::quillmark::PlumeLog;
using qm_test::onlyRecord;
using qm_test::runInChild;
using qm_test::ScriptedState;
using qm_test::SeenRequest;
using qm_test::TempDir;

constexpr int kChildTimeoutMs = 60000;
constexpr int kDeliveryMs = 8000;
const char* const kKey = "capi-test";
const char* const kVersion = "2.0.1";
const char* const kSource = "capi-source";
const char* const kType = "capi-type";
const char* const kUser = VESK_CHANNEL_USER;

const std::string& hugeText() {
    static const std::string text(1024 * 1024, 'a');
    return text;
}
const char* const kBadUtf8 = "\xff\xfe\xc3";
const char* const kBlank = " \t  \t";

// Every level argument a caller could pass, defined or not, in the order exerciseLevels sends
// each and then sets it as the channel's level: INFO comes right after FATAL was set, 2 and
// TRACE (7) after a DEBUG, since the channel's level filters nothing and DEBUG never goes.
const std::vector<int> kAnyLevels = {-10, -1, 0, 5, 1, 2, 3, 4, 6, 7, 8, 1000, INT_MIN, INT_MAX};

bool isAcceptedLevel(int level) { return level == 0 || level == 3 || level == 4 || level == 5; }

// Written out independently of the library: FATAL, ERROR, WARN and INFO keep their number,
// everything else is DEBUG.
int expectedPublicLevel(int level) { return isAcceptedLevel(level) ? level : 7; }

QuillMarkLogLevel asLevel(int level) { return static_cast<QuillMarkLogLevel>(level); }

// A channel of the test project on the facade, initialised as an application does.
int32_t initChannel(PlumeLogImpl& facade, const ScriptedState& library, const char* channel,
                    const char* key = kKey, bool asyncStart = false) {
    return facade.initialize(key, library.storage.path().c_str(), kVersion, ScriptedState::kAddress,
                             80, kSource, kType, true, asyncStart, channel);
}

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

// Whatever the library was fed, each record post it made is a JSON array in well-formed UTF-8.
void expectEveryRequestIsValidJson(const ScriptedState& library) {
    size_t posts = 0;
    for (const SeenRequest& request : library.collector.requests()) {
        if (request.get) continue;  // the settings request
        ++posts;
        EXPECT_TRUE(isStrictUtf8(request.body)) << "request of " << request.body.size() << " bytes";
        EXPECT_TRUE(parsesAsStrictJsonArray(request.body))
            << "request of " << request.body.size() << " bytes";
    }
    EXPECT_GT(posts, 0u);
}

// The working directory, changed until the object goes: a relative storage path lands there.
class ScopedWorkingDirectory {
public:
    explicit ScopedWorkingDirectory(const std::string& path) {
        char before[4096] = {0};
        if (::getcwd(before, sizeof before - 1) != nullptr) m_before = before;
        EXPECT_EQ(0, ::chdir(path.c_str()));
    }
    ~ScopedWorkingDirectory() {
        if (!m_before.empty() && ::chdir(m_before.c_str()) != 0) ADD_FAILURE() << m_before;
    }

private:
    std::string m_before;
};

// ---------------------------------------------------------------------------------------------
// The C functions on the process's facade

void crashCallback(void*) {}

// The crash catcher's switches, which are the process's: through the C functions and the
// interface, before and after initialisation.
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

// Null texts and port 0 take the documented defaults, and each C function reaches the channel
// "quillmark-user" with its result as an int.
TEST(CEntryPoint, NullArgumentsTakeTheDefaultsAndEachFunctionReachesTheMainChannel) {
    TempDir dir;
    const int code = runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            EXPECT_EQ(QUILLMARK_DEBUG, QuillMarkGetLogLevel());  // no channel yet
            EXPECT_EQ(0, QuillMarkSendLog(QUILLMARK_INFO, "before initialisation"));
            EXPECT_EQ(0, QuillMarkAddCustomKey("key", "value"));
            EXPECT_EQ(nullptr, QuillMarkGetUserId());
            exerciseProcessWideFunctions();
            EXPECT_EQ(0, QuillMarkInitialize(kKey, dir.path().c_str(), nullptr, nullptr, 0, nullptr,
                                             nullptr, false, false, nullptr));
            Handler channel;
            const auto snapshot = [&channel] {
                return LibraryState::process().registry.snapshot(kUser, channel);
            };
            if (!snapshot()) return 1;
            EXPECT_EQ(kKey, channel.m_projectName);
            EXPECT_EQ("1.0.0", channel.m_projectVersion);
            EXPECT_EQ("quillmark-linux", channel.m_logSource);
            EXPECT_EQ("quillmark-log", channel.m_logType);
            EXPECT_EQ(QUILLMARK_DEFAULT_COLLECTOR, channel.m_Addr);
            EXPECT_EQ(80, channel.m_Port);
            EXPECT_EQ(QUILLMARK_INFO, QuillMarkGetLogLevel());
            QuillMarkSetLogLevel(QUILLMARK_ERROR);
            EXPECT_EQ(QUILLMARK_ERROR, QuillMarkGetLogLevel());
            EXPECT_EQ(0, QuillMarkSendLog(QUILLMARK_TRACE, "trace"));
            EXPECT_EQ(1, QuillMarkSendLog(QUILLMARK_INFO, "to the built-in collector"));
            EXPECT_EQ(0, QuillMarkAddCustomKey("body", "reserved"));
            EXPECT_EQ(1, QuillMarkAddCustomKey("team", "red"));
            EXPECT_EQ(1, QuillMarkAddCustomKey("shift", "late"));
            QuillMarkRemoveCustomKey("team");
            snapshot();
            EXPECT_EQ((std::map<std::string, std::string>{{"shift", "late"}}),
                      channel.m_custom_fields);
            QuillMarkClearCustomKeys();
            QuillMarkSetUserId("c-user");
            EXPECT_STREQ("c-user", QuillMarkGetUserId());
            QuillMarkSetDeduplicate(false);
            QuillMarkEnableHost(false);
            snapshot();
            EXPECT_TRUE(channel.m_custom_fields.empty());
            EXPECT_FALSE(channel.m_isDeduplicate);
            EXPECT_FALSE(channel.m_isEnableHost);
            exerciseProcessWideFunctions();
            return 0;  // the built-in address cannot be reached: nothing to wait for
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
}

// ---------------------------------------------------------------------------------------------
// The end of a core

// Nothing could send a record after the end of a core: it is refused, not queued for nobody.
// A channel the first core registered stays usable for the next one, which registers nothing.
TEST(CoreLifecycle, AfterDestroyRecordsAreRefusedUntilANewFacadeIsInitialised) {
    ScriptedState library;
    {
        PlumeLogImpl first(library.state);
        ASSERT_EQ(0, initChannel(first, library, kUser));
        ASSERT_TRUE(library.waitForBody("CREATE SESSION", kDeliveryMs));
        first.destroy();
        EXPECT_FALSE(first.sendLog(QUILLMARK_INFO, "after destroy"));
        EXPECT_STREQ("", first.getUserId());  // channel state stays usable
    }
    PlumeLogImpl second(library.state);
    EXPECT_FALSE(second.sendLog(QUILLMARK_INFO, "before the new facade's initialise"));
    EXPECT_EQ(0, initChannel(second, library, kUser));
    EXPECT_TRUE(second.sendLog(QUILLMARK_INFO, "after a new facade"));
    ASSERT_TRUE(library.waitForBody("after a new facade", kDeliveryMs));
    EXPECT_EQ(1u, library.withBody("after a new facade").size());
    EXPECT_TRUE(library.withBody("after destroy").empty());
    EXPECT_TRUE(library.withBody("before the new facade's initialise").empty());
    EXPECT_EQ(1u, library.withBody("CREATE SESSION").size());
}

// ---------------------------------------------------------------------------------------------
// initialize with each text argument in turn replaced by hostile text

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
    // The channel "quillmark-user" exists afterwards, so sendLog queues.
    bool reachable;
};

std::string caseName(const InitCase& c) {
    static const char* const kNames[] = {"AppKey", "StoragePath", "Version", "Address",
                                         "Source", "Type",        "Channel"};
    return std::string(kNames[static_cast<int>(c.arg)]) + "_" + c.variant;
}

// Null and empty storage paths select send-only: the channel works and nothing is laid out.
// A blank path is left out: it names a directory relative to the working directory. Null is
// what the facade is given; the defaults the C function puts in its place are CEntryPoint's.
const std::vector<InitCase>& initCases() {
    using A = InitArg;
    static const std::vector<InitCase> cases = {
        {A::AppKey, "null", -2, false},
        {A::AppKey, "empty", -2, false},
        {A::AppKey, "blank", -2, false},
        {A::AppKey, "huge", -6, false},  // no folder can carry its name
        {A::AppKey, "badUtf8", -2, false},
        {A::StoragePath, "null", 0, true},
        {A::StoragePath, "empty", 0, true},
        // A folder that cannot be made is refused with its own code, never a silent 0.
        {A::StoragePath, "huge", -6, false},
        {A::StoragePath, "badUtf8", 0, true},
        {A::StoragePath, "missingParents", 0, true},
        {A::StoragePath, "underAFile", -6, false},
        {A::StoragePath, "underADevice", -6, false},
        {A::Version, "null", -3, false},
        {A::Version, "empty", -3, false},
        {A::Version, "blank", -3, false},
        {A::Version, "huge", 0, true},
        {A::Version, "badUtf8", -3, false},
        {A::Address, "null", -4, false},
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
        {A::Channel, "null", -1, false},
        {A::Channel, "empty", 0, false},
        {A::Channel, "blank", 0, false},
        {A::Channel, "huge", 0, false},
        {A::Channel, "badUtf8", 0, false},
    };
    return cases;
}

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const InitCase& c, std::ostream* out) { *out << caseName(c); }

// Storage folders relative to the working directory, which holds the regular file "a-file".
std::vector<Variant> storageTexts() {
    return {{"missingParents", "made/on/demand"},
            {"underAFile", "a-file/files"},
            {"underADevice", "/dev/null/files"}};
}

const char* variantText(const std::string& name) {
    for (const std::vector<Variant>& variants : {hostileTexts(), storageTexts()}) {
        for (const Variant& v : variants) {
            if (v.name == name) return v.text;
        }
    }
    throw std::logic_error("unknown variant " + name);
}

struct InitArgs {
    const char* appKey = kKey;
    const char* storage = nullptr;
    const char* version = kVersion;
    const char* address = ScriptedState::kAddress;
    const char* source = kSource;
    const char* type = kType;
    const char* channel = kUser;
};

InitArgs argsFor(const InitCase& c, const std::string& storage) {
    InitArgs args;
    args.storage = storage.c_str();
    const char* text = variantText(c.variant);
    const char** const replaced[] = {&args.appKey, &args.storage, &args.version, &args.address,
                                     &args.source, &args.type,    &args.channel};
    *replaced[static_cast<int>(c.arg)] = text;
    return args;
}

class HostileInitialize : public ::testing::TestWithParam<InitCase> {};

TEST_P(HostileInitialize, ReturnsTheDocumentedCodeAndEveryQueuedRecordArrives) {
    const InitCase& c = GetParam();
    ScriptedState library;
    const std::string probe = "probe " + caseName(c);
    {
        const ScopedWorkingDirectory inStorage(library.storage.path());
        std::ofstream(library.storage.file("a-file")) << "not a folder";
        PlumeLogImpl facade(library.state);
        const InitArgs args = argsFor(c, library.storage.path());
        EXPECT_EQ(c.result,
                  facade.initialize(args.appKey, args.storage, args.version, args.address, 80,
                                    args.source, args.type, true, false, args.channel));
        const bool sent = facade.sendLog(QUILLMARK_INFO, probe.c_str());
        EXPECT_EQ(c.reachable, sent);
        if (sent) library.waitForBody(probe, kDeliveryMs);
    }
    if (c.reachable) {
        // Reported as queued, so it must reach the collector.
        EXPECT_EQ(1u, library.withBody(probe).size()) << "record lost: " << probe;
        expectEveryRequestIsValidJson(library);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryTextArgument, HostileInitialize, ::testing::ValuesIn(initCases()),
                         [](const ::testing::TestParamInfo<InitCase>& info) {
                             return caseName(info.param);
                         });

// Collector addresses as an application may write them: initialize takes what the address
// reader takes (its table is request_test's) and refuses the rest with -4. The port argument
// is 1 where the address names one, so the request's URL shows which won.
TEST(InitializeAddress, UrlFormsAreAcceptedAndDeliverAndMalformedOnesAreRefused) {
    const struct {
        const char* address;
        uint16_t portArgument;
        int32_t result;
    } cases[] = {
        {"HTTP://127.0.0.1:8123/", 1, 0},
        {"hTtP://127.0.0.1", 8123, 0},
        {"127.0.0.1", 8123, -4},
        // Out of range in the address, not in the argument: the address is what is wrong.
        {"http://127.0.0.1:70000", 8123, -4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        ScriptedState library;
        const std::string probe = std::string("address ") + c.address;
        {
            PlumeLogImpl facade(library.state);
            EXPECT_EQ(c.result,
                      facade.initialize(kKey, library.storage.path().c_str(), kVersion, c.address,
                                        c.portArgument, kSource, kType, true, false, kUser));
            const bool sent = facade.sendLog(QUILLMARK_INFO, probe.c_str());
            EXPECT_EQ(c.result == 0, sent);
            if (sent) library.waitForBody(probe, kDeliveryMs);
        }
        std::vector<std::string> urls;
        for (const SeenRequest& request : library.collector.requests()) {
            if (!request.get) urls.push_back(request.url);
        }
        EXPECT_EQ(c.result == 0 ? 1u : 0u, library.withBody(probe).size());
        for (const std::string& url : urls) EXPECT_EQ("http://127.0.0.1:8123/v2/log", url);
    }
}

// ---------------------------------------------------------------------------------------------
// Every channel operation of the facade, on both channels

struct ChannelOps {
    std::string name;
    std::function<bool(int, const char*)> send;
    std::function<bool(const char*, const char*)> add;
    std::function<void(const char*)> remove;
    std::function<void()> clear;
    std::function<int(void)> getLevel;
    std::function<void(int)> setLevel;
    std::function<const char*()> getUser;
    std::function<void(const char*)> setUser;
    std::function<void(bool)> dedup;
    std::function<void(bool)> host;
};

ChannelOps mainOps(PlumeLogImpl& f) {
    return {"main",
            [&f](int l, const char* m) { return f.sendLog(asLevel(l), m); },
            [&f](const char* k, const char* v) { return f.addCustomKey(k, v); },
            [&f](const char* k) { f.removeCustomKey(k); },
            [&f] { f.clearCustomKeys(); },
            [&f] { return static_cast<int>(f.getLogLevel()); },
            [&f](int l) { f.setLogLevel(asLevel(l)); },
            [&f] { return f.getUserId(); },
            [&f](const char* u) { f.setUserId(u); },
            [&f](bool e) { f.setDeduplicate(e); },
            [&f](bool e) { f.enableHost(e); }};
}

ChannelOps corvaneOps(PlumeLogImpl& f) {
    return {"corvane",
            [&f](int l, const char* m) { return f.sendLog_Corvane(asLevel(l), m); },
            [&f](const char* k, const char* v) { return f.addCustomKey_Corvane(k, v); },
            [&f](const char* k) { f.removeCustomKey_Corvane(k); },
            [&f] { f.clearCustomKeys_Corvane(); },
            [&f] { return static_cast<int>(f.getLogLevel_Corvane()); },
            [&f](int l) { f.setLogLevel_Corvane(asLevel(l)); },
            [&f] { return f.getUserId_Corvane(); },
            [&f](const char* u) { f.setUserId_Corvane(u); },
            [&f](bool e) { f.setDeduplicate_Corvane(e); },
            [&f](bool e) { f.enableHost_Corvane(e); }};
}

// An unregistered channel refuses everything and changes nothing.
void expectUnregisteredRefusals(const ChannelOps& ops) {
    SCOPED_TRACE(ops.name + " before initialisation");
    EXPECT_FALSE(ops.send(QUILLMARK_ERROR, "nobody listens"));
    EXPECT_FALSE(ops.add("key", "value"));
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
        EXPECT_EQ(isAcceptedLevel(level), ops.send(level, body.c_str()));
        ops.setLevel(level);
        EXPECT_EQ(expectedPublicLevel(level), ops.getLevel());
    }
}

// The probes exerciseLevels sent, in its order: accepted levels arrive under their own name,
// refused ones never arrive.
void expectLevelProbes(const ScriptedState& library) {
    static const char* const kLevelNames[] = {"FATAL", "", "", "ERROR", "WARN", "INFO"};
    int serial = 0;
    for (const char* channel : {"main", "corvane"}) {
        for (int level : kAnyLevels) {
            const std::string body = std::string(channel) + " level " + std::to_string(serial++);
            const std::vector<Json::Value> found = library.withBody(body);
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
    EXPECT_FALSE(ops.send(QUILLMARK_INFO, nullptr));
    EXPECT_FALSE(ops.send(QUILLMARK_INFO, ""));
    EXPECT_FALSE(ops.send(QUILLMARK_INFO, kBlank));
    EXPECT_TRUE(ops.send(QUILLMARK_INFO, hugeText().c_str()));
    EXPECT_TRUE(ops.send(QUILLMARK_ERROR, (hugeText() + kBadUtf8).c_str()));
}

void exerciseCustomKeys(const ChannelOps& ops) {
    for (const Variant& v : hostileTexts()) {
        SCOPED_TRACE(ops.name + " custom key " + v.name);
        const bool asKey = ops.add(v.text, "value");
        const bool asValue = ops.add("hostile", v.text);
        if (v.text == nullptr ||
            std::string(v.text).find_first_not_of(" \t") == std::string::npos) {
            EXPECT_FALSE(asKey);  // nothing left after trimming
            EXPECT_FALSE(asValue);
        }
        // Text that is not UTF-8 is read in the environment's encoding, else as Latin-1: kept,
        // whatever LANG says.
        if (v.text == kBadUtf8) {
            EXPECT_TRUE(asKey);
            EXPECT_TRUE(asValue);
        }
        if (v.text == hugeText().c_str()) {
            EXPECT_FALSE(asKey);  // over the bound of one field
            EXPECT_FALSE(asValue);
        }
        ops.remove(v.text);
    }
}

// A field may hold 64 KiB (key and value), the channel's fields 256 KiB in all; replacing a
// field counts its new size only, and a removed one frees its share.
void exerciseCustomFieldBound(const ChannelOps& ops) {
    SCOPED_TRACE(ops.name + " custom field bound");
    ops.clear();
    const std::string full(64 * 1024 - 2, 'v');
    EXPECT_TRUE(ops.add("f0", full.c_str()));
    EXPECT_FALSE(ops.add("f9", (full + "v").c_str()));
    EXPECT_TRUE(ops.add("f0", full.c_str()));
    EXPECT_TRUE(ops.add("f1", full.c_str()));
    EXPECT_TRUE(ops.add("f2", full.c_str()));
    EXPECT_TRUE(ops.add("f3", full.c_str()));
    EXPECT_FALSE(ops.add("f4", "v"));
    EXPECT_TRUE(ops.add("f3", "short"));
    EXPECT_TRUE(ops.add("f4", "v"));
    ops.remove("f1");
    EXPECT_TRUE(ops.add("f5", full.c_str()));
    ops.clear();
    EXPECT_TRUE(ops.add("f6", full.c_str()));
    ops.remove("f6");
}

// Fields the library sets cannot be replaced by custom keys; other keys still can.
const char* const kReservedKeys[] = {
    "DmpData",  "logType", "logSource",  "logLevel",  "errorRate", "handlerName", "body",
    "sendTime", "host",    "logVersion", "SessionID", "DeviceID",  "LastLogs"};

void exerciseReservedKeys(const ChannelOps& ops) {
    for (const char* key : kReservedKeys) {
        SCOPED_TRACE(ops.name + " reserved key " + key);
        EXPECT_FALSE(ops.add(key, "custom"));
        EXPECT_FALSE(ops.add((std::string(" ") + key + "\t").c_str(), "custom"));
    }
    EXPECT_TRUE(ops.add("SessionId", "a key of its own"));
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
    exerciseCustomFieldBound(ops);
    exerciseReservedKeys(ops);
    exerciseUserIds(ops);
    exerciseSwitches(ops);
}

TEST(HostileOperations, EveryOperationOnBothChannelsKeepsItsContractAndTheWireValid) {
    ScriptedState library;
    // Pins the conversion of text that is not UTF-8 to one locale.
    const qm_test::ScopedVariable locale("LC_ALL", "C.UTF-8");
    {
        PlumeLogImpl facade(library.state);
        const ChannelOps ops[] = {mainOps(facade), corvaneOps(facade)};
        for (const ChannelOps& channel : ops) expectUnregisteredRefusals(channel);
        ASSERT_EQ(0, initChannel(facade, library, kUser));
        expectUnregisteredRefusals(ops[1]);
        ASSERT_EQ(0, initChannel(facade, library, VESK_CHANNEL_CORVANE, "capi-corvane"));
        int serial = 0;
        for (const ChannelOps& channel : ops) exerciseChannel(channel, serial);
        EXPECT_TRUE(facade.sendLog(QUILLMARK_INFO, "main final"));
        EXPECT_TRUE(facade.sendLog_Corvane(QUILLMARK_INFO, "corvane final"));
        library.waitForBody("main final", 20000);
        library.waitForBody("corvane final", 20000);
    }
    // Every hostile custom key was removed again; the last user ID was the invalid text.
    const std::vector<Json::Value> records = library.collector.records();
    for (const Json::Value& record :
         {onlyRecord(records, "main final"), onlyRecord(records, "corvane final")}) {
        EXPECT_FALSE(record.isMember(hugeText()));
        EXPECT_FALSE(record.isMember("DmpData"));
        EXPECT_FALSE(record.isMember("errorRate"));
        EXPECT_EQ(kType, record["logType"].asString());
        EXPECT_NE("custom", record["SessionID"].asString());
        EXPECT_TRUE(record.isMember("UserID"));
        EXPECT_TRUE(isStrictUtf8(record["UserID"].asString()));
    }
    // One huge message per channel as it was, and one that ends in bytes that are not UTF-8,
    // whole and converted.
    EXPECT_EQ(2u, library.withBody(hugeText()).size());
    size_t converted = 0;
    for (const Json::Value& record : records) {
        const std::string body = record["body"].asString();
        if (body.size() <= hugeText().size() ||
            body.compare(0, hugeText().size(), hugeText()) != 0) {
            continue;
        }
        ++converted;
        EXPECT_TRUE(isStrictUtf8(body));
    }
    EXPECT_EQ(2u, converted);
    expectLevelProbes(library);
    expectEveryRequestIsValidJson(library);
}

// ---------------------------------------------------------------------------------------------
// The README's blocks, run as pasted against a loopback collector: only the address and the
// storage folder differ, the folder's parents not made yet.

struct ReadmeRun {
    int status = -1;
    std::vector<Json::Value> records;
    bool folderMade = false;
};

// The emulator the test programs run under, if any, with a space after it.
#ifndef QM_PROGRAM_RUNNER
#define QM_PROGRAM_RUNNER ""
#endif

ReadmeRun runReadmeProgram(const char* program, size_t records) {
    qm_test::CollectorProcess collector;
    TempDir dir;
    const std::string storage = dir.file("app/files");
    const std::string port = std::to_string(collector.port());
    const qm_test::ScopedVariable address("QM_SNIPPET_ADDRESS", collector.address().c_str());
    const qm_test::ScopedVariable portText("QM_SNIPPET_PORT", port.c_str());
    const qm_test::ScopedVariable folder("QM_SNIPPET_STORAGE", storage.c_str());
    ReadmeRun run;
    const int result = std::system((std::string(QM_PROGRAM_RUNNER) + program).c_str());
    run.status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    collector.waitForRecords(records, kDeliveryMs);
    run.records = collector.records();
    struct stat info {};
    run.folderMade =
        ::stat((storage + "/quillmark/MyApp").c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    return run;
}

TEST(ReadmeBlocks, RunAsPastedTheyDeliverTheirRecords) {
    const ReadmeRun c = runReadmeProgram(QM_README_C_EXE, 2);
    EXPECT_EQ(0, c.status);
    EXPECT_TRUE(c.folderMade);
    const Json::Value record = onlyRecord(c.records, "could not open the save file");
    EXPECT_EQ("ERROR", record["logLevel"].asString());
    EXPECT_EQ("2024.06.1", record["build"].asString());
    EXPECT_EQ("user-42", record["UserID"].asString());
    EXPECT_EQ(1u, qm_test::withField(c.records, "body", "CREATE SESSION").size());

    const ReadmeRun cpp = runReadmeProgram(QM_README_CPP_EXE, 3);
    EXPECT_EQ(0, cpp.status);
    EXPECT_TRUE(cpp.folderMade);
    // One record per channel: the second channel's records name their own library flavour.
    std::vector<std::string> flavours;
    for (const Json::Value& found : qm_test::withField(cpp.records, "body", "from the C++ block")) {
        EXPECT_EQ("WARN", found["logLevel"].asString());
        flavours.push_back(found["SdkVersion"].asString());
    }
    std::sort(flavours.begin(), flavours.end());
    EXPECT_EQ((std::vector<std::string>{std::string("ndk-") + QUILLMARK_VERSION_STRING,
                                        std::string("ndk-corvaen-") + QUILLMARK_VERSION_STRING}),
              flavours);
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

// One facade per process: made by the first call, of sixteen racing threads too; deleted once
// by destroys however many and however raced; made anew by the next call.
TEST(EntryPointRaces, FirstCallsShareOneFacadeAndAnyNumberOfDestroysDeleteItOnce) {
    const int code = runInChild(
        [] {
            QuillMarkDestroy();  // nothing to destroy yet
            EXPECT_EQ(nullptr, currentPlumeLog());
            std::vector<PlumeLog*> seen(16, nullptr);
            raceThreads(16, [&seen](int i) { seen[i] = GetPlumeLog(); });
            EXPECT_NE(nullptr, currentPlumeLog());
            for (PlumeLog* facade : seen) EXPECT_EQ(currentPlumeLog(), facade);
            raceThreads(2, [](int) { DestroyPlumeLog(); });
            EXPECT_EQ(nullptr, currentPlumeLog());
            DestroyPlumeLog();
            EXPECT_EQ(QUILLMARK_DEBUG, QuillMarkGetLogLevel());
            PlumeLog* created = currentPlumeLog();
            EXPECT_NE(nullptr, created);
            EXPECT_EQ(created, GetPlumeLog());
            QuillMarkDestroy();
            EXPECT_EQ(nullptr, currentPlumeLog());
            QuillMarkDestroy();
            EXPECT_EQ(nullptr, currentPlumeLog());
            return 0;
        },
        kChildTimeoutMs);
    EXPECT_EQ(0, code);
}

TEST(EntryPointRaces, UserIdReadWhileOthersSetItIsAlwaysOneWholeValue) {
    ScriptedState library;
    PlumeLogImpl facade(library.state);
    ASSERT_EQ(0, initChannel(facade, library, kUser, kKey, true));
    const std::string ids[] = {std::string(300, 'a'), std::string(5, 'b'), ""};
    std::atomic<int> torn{0};
    const int rounds = qm_test::countFor(3000, 500);
    raceThreads(4, [&](int i) {
        for (int n = 0; n < rounds; ++n) {
            if (i < 2) {
                facade.setUserId(ids[(n + i) % 3].c_str());
                continue;
            }
            const char* id = facade.getUserId();
            // The text stays this thread's until its next call, whatever others set.
            std::this_thread::yield();
            const std::string read = id ? id : "(null)";
            if (read != ids[0] && read != ids[1] && read != ids[2]) ++torn;
        }
    });
    EXPECT_EQ(0, torn.load());
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

// A fork taken while a logger holds a lock is rare: many forks give it a chance to happen.
const int kForks = qm_test::countFor(200, 50);
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

TEST(ForkedChild, ForksWhileThreeThreadsLogNeverBlockAChild) {
    qm_test::CollectorProcess collector;
    TempDir dir;
    const qm_test::TestProject project{kKey, kVersion, kSource, kType};
    const int code = runInChild(
        [&] {
            qm_platform::setLogToStderr(false);
            if (project.initMain(collector, dir) != 0) return 1;
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
            return qm_test::waitForBody(collector, "parent after the forks", 30000) ? 0 : 3;
        },
        180000);
    EXPECT_EQ(0, code);
    EXPECT_TRUE(qm_test::withBody(collector, "from the child").empty());
}

}  // namespace
