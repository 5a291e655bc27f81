// quillmark-symbolicate on a real crash: a child dies in a shared library whose symbols
// quillmark_add_symbols wrote, the library's own catcher reports it to a loopback collector,
// and the tool reads that report back in every form the collector keeps it.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/wait.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "crash/crash_support.h"
#include "faulty_module.h"
#include "plume/quillmark.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/file_text.h"
#include "support/record_queries.h"
#include "support/temp_dir.h"
#include "util/utilTools.h"

namespace {

using qm_test::TempDir;

const char kModule[] = "libquillmark_test_faulty.so";

struct ToolRun {
    int status = -1;
    std::string out;
    std::vector<std::string> errLines;
};

ToolRun symbolicate(const TempDir& dir, const std::string& inputFile, const std::string& flags) {
    const std::string out = dir.file("tool.out");
    const std::string err = dir.file("tool.err");
    const std::string command =
        std::string(QM_SYMBOLICATE_EXE) + " " + flags + " " + inputFile + " >" + out + " 2>" + err;
    const int status = std::system(command.c_str());
    ToolRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = qm_test::readFileText(out);
    run.errLines = qm_crash::splitLines(qm_test::readFileText(err));
    return run;
}

std::string compact(const Json::Value& value) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, value);
}

Json::Value parse(const std::string& text) {
    Json::Value value;
    std::istringstream in(text);
    std::string errors;
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors)) << text;
    return value;
}

// What the collector kept of one crash, each way a reader may meet it.
struct ReceivedCrash {
    std::string record;       // the crash record alone
    std::string postBody;     // the request's body: an array of records
    std::string recordsFile;  // the collector's records file, one record per line
    std::string requestLog;   // its request log, one request per line with the body as text
    std::string dump;         // the minidump itself
};

ReceivedCrash crashInTheFaultyModule() {
    ReceivedCrash received;
    qm_test::CollectorProcess collector;
    TempDir storage("qm_symbolicate_app");
    const int status = qm_test::runInChild(
        [&] {
            if (QuillMarkInitialize("FaultyApp", storage.path().c_str(), "3.1.4",
                                    collector.address().c_str(), collector.port(), nullptr, nullptr,
                                    true, false, nullptr) != 0 ||
                QuillMarkOpenCrashCatcher() != 1) {
                return 2;
            }
            quillmark_faulty_write(nullptr);
            return 3;
        },
        60000);
    EXPECT_EQ(128 + SIGSEGV, status);
    for (const Json::Value& request : qm_crash::crashRequests(collector)) {
        received.postBody = request["body"].asString();
        received.requestLog += compact(request) + "\n";
    }
    received.recordsFile = collector.recordsText();
    for (const std::string& line : qm_crash::splitLines(received.recordsFile)) {
        if (line.find("\"DmpData\"") != std::string::npos) received.record = line;
    }
    received.dump = qm_test::decodeBase64(parse(received.record)["DmpData"].asString());
    return received;
}

const Json::Value* moduleIn(const Json::Value& crash, const std::string& file) {
    for (const Json::Value& module : crash["modules"]) {
        if (module["file"].asString() == file) return &module;
    }
    return nullptr;
}

// The debug ID the store files the module's symbols under.
std::string theSymbolFileId() {
    const std::string moduleDir = std::string(QM_FAULTY_SYMBOLS) + "/" + kModule;
    const std::vector<std::string> ids =
        qm_crash::splitLines(qm_crash::runAndRead("ls " + moduleDir));
    EXPECT_EQ(1u, ids.size()) << moduleDir;
    return ids.empty() ? std::string() : ids[0];
}

}  // namespace

// One crash, read back from the record, the POST body, the collector's files and the bare
// dump: each names the faulting function and line from the symbol file quillmark_add_symbols
// wrote, whose debug ID is the one the dump records; the caller, whose symbols are not in
// the store, says which module and debug ID are missing.
TEST(Symbolicate, EveryFormOfAReceivedCrashGivesTheFaultingFunctionAndLine) {
    QM_SKIP_UNLESS_CRASHES_RUN();
    const ReceivedCrash received = crashInTheFaultyModule();
    ASSERT_EQ("MDMP", received.dump.substr(0, 4));

    // The symbol file's layout and contents are the symbol_file test's; here its ID is the
    // one the dump records.
    const std::string debugId = theSymbolFileId();

    const struct {
        const char* form;
        std::string bytes;
    } rows[] = {
        {"record", received.record},
        {"POST body", received.postBody},
        {"records file", received.recordsFile},
        {"request log", received.requestLog},
        {"dump", received.dump},
    };
    TempDir dir("qm_symbolicate");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.form);
        qm_test::writeFileText(dir.file("input"), row.bytes);
        const ToolRun run = symbolicate(dir, dir.file("input"),
                                        "--json --symbols " + std::string(QM_FAULTY_SYMBOLS));
        ASSERT_EQ(0, run.status) << (run.errLines.empty() ? "" : run.errLines[0]);
        EXPECT_TRUE(run.errLines.empty());
        const std::vector<std::string> crashes = qm_crash::splitLines(run.out);
        ASSERT_EQ(1u, crashes.size());
        const Json::Value crash = parse(crashes[0]);
        EXPECT_EQ(0u, crash["reason"].asString().find("SIGSEGV")) << crash["reason"];
        EXPECT_EQ("0x0", crash["address"].asString());
        const Json::Value& thread = crash["threads"][0];
        EXPECT_TRUE(thread["crashed"].asBool());
        ASSERT_GE(thread["frames"].size(), 2u);
        const Json::Value& top = thread["frames"][0];
        EXPECT_EQ(kModule, top["module"].asString());
        EXPECT_EQ("quillmark_faulty_write", top["function"].asString());
        EXPECT_EQ(quillmark_faulty_line(), top["line"].asInt());
        EXPECT_NE(std::string::npos, top["file"].asString().find("faulty_module.c"));
        EXPECT_FALSE(top["scanned"].asBool());

        const Json::Value* faulty = moduleIn(crash, kModule);
        ASSERT_NE(nullptr, faulty);
        EXPECT_EQ(debugId, (*faulty)["debugId"].asString());
        const Json::Value& caller = thread["frames"][1];
        const Json::Value* callerModule = moduleIn(crash, caller["module"].asString());
        ASSERT_NE(nullptr, callerModule);
        EXPECT_EQ((*callerModule)["debugId"], caller["missingSymbols"]["debugId"]);
    }

    // Cut short, the same dump is refused before the walk.
    qm_test::writeFileText(dir.file("input"), received.dump.substr(0, received.dump.size() / 2));
    const ToolRun cut = symbolicate(dir, dir.file("input"), "");
    EXPECT_EQ(1, cut.status);
    ASSERT_EQ(1u, cut.errLines.size());
    EXPECT_NE(std::string::npos, cut.errLines[0].find("truncated")) << cut.errLines[0];

    // The text form: the same top frame, as module!function [file : line].
    qm_test::writeFileText(dir.file("input"), received.record);
    const ToolRun text =
        symbolicate(dir, dir.file("input"), "--symbols " + std::string(QM_FAULTY_SYMBOLS));
    ASSERT_EQ(0, text.status);
    const std::string top = std::string(" 0  ") + kModule + "!quillmark_faulty_write [";
    EXPECT_NE(std::string::npos, text.out.find("Thread 0 (crashed)\n" + top)) << text.out;
    EXPECT_NE(std::string::npos,
              text.out.find(" : " + std::to_string(quillmark_faulty_line()) + "]\n"));
}

namespace {

// A minidump header naming `streams` directory entries at offset 32, of the stream types from
// `firstType` on (by default system information and after it: no thread list, which the walker
// needs), each of `size` bytes at offset `at`, followed by `tail` bytes.
std::string minidumpHeader(uint32_t streams, uint32_t size, uint32_t at, size_t tail,
                           uint32_t firstType = 7) {
    auto le32 = [](uint32_t v) {
        return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    };
    std::string dump = "MDMP" + le32(0xA793) + le32(streams) + le32(32) + std::string(16, '\0');
    for (uint32_t i = 0; i < streams; ++i) dump += le32(firstType + i) + le32(size) + le32(at);
    return dump + std::string(tail, '\x5A');
}

std::string base64(const std::string& bytes) {
    std::string text;
    UtilTools::encode_base64_string(bytes, text);
    return text;
}

std::string recordWith(const std::string& dmpData) {
    return "{\"body\":\"Android NDK Crash\",\"DmpData\":\"" + dmpData + "\"}";
}

}  // namespace

// Input that holds no readable crash: one line on stderr that says why, a non-zero status
// (1: the input, 2: the options, 3: the stack walker could not read a dump that looked whole),
// nothing on stdout.
TEST(Symbolicate, BadInputIsOneLineOnStderrAndAFailureStatus) {
    const std::string walkable = minidumpHeader(2, 8, 32, 64);
    const struct {
        const char* name;
        std::string bytes;
        int status;
        const char* says;
        std::string flags = "";
    } rows[] = {
        {"empty", "", 1, "the input is empty"},
        {"text", "Segmentation fault at 0x0\n", 1, "neither JSON nor a minidump"},
        {"cut JSON", "{\"DmpData\": \"TURNU", 1, "not JSON"},
        {"bad second line", recordWith(base64(walkable)) + "\n{oops\n", 1, "line 2 is not JSON"},
        {"no dump field", "[{\"body\":\"hello\"},{\"logLevel\":\"INFO\"}]", 1, "no crash record"},
        {"dump not text", "{\"DmpData\": 12}", 1, "\"DmpData\" is not a string"},
        {"shortened", recordWith("<51234 bytes>"), 1, "the collector shortened it"},
        {"not Base64", recordWith("TURNU*A=="), 1, "not valid Base64"},
        {"cut Base64", recordWith(base64(walkable).substr(0, 21)), 1, "not valid Base64"},
        {"not a minidump", recordWith(base64("PK\x03\x04 an archive")), 1, "not a minidump"},
        {"header only", recordWith(base64("MDMP\x93\xA7")), 1, "header is incomplete"},
        {"truncated directory", minidumpHeader(4, 8, 32, 0).substr(0, 50), 1, "truncated"},
        {"truncated stream", minidumpHeader(1, 4096, 44, 100), 1, "ends past the file"},
        {"thread count lies", minidumpHeader(1, 52, 44, 52, 3), 1, "fewer entries than it says"},
        {"garbage streams", walkable, 3, "minidump_stackwalk"},
        {"no walker", walkable, 3, "cannot run /nonexistent/walker",
         "--stackwalk /nonexistent/walker"},
        {"no symbol store", walkable, 2, "no symbol store at /nonexistent",
         "--symbols /nonexistent"},
    };
    TempDir dir("qm_symbolicate_bad");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        qm_test::writeFileText(dir.file("input"), row.bytes);
        const ToolRun run = symbolicate(dir, dir.file("input"), row.flags);
        EXPECT_EQ(row.status, run.status);
        ASSERT_EQ(1u, run.errLines.size());
        EXPECT_NE(std::string::npos, run.errLines[0].find(row.says)) << run.errLines[0];
        EXPECT_EQ("", run.out);
    }
    const ToolRun missing = symbolicate(dir, dir.file("absent.json"), "");
    EXPECT_EQ(1, missing.status);
    EXPECT_EQ(1u, missing.errLines.size());
}
