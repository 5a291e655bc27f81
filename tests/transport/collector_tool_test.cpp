// Checks the loopback collector and the process helpers the integration tests stand on.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "crash/crash_support.h"
#include "plume/quillmark.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/file_text.h"
#include "support/record_queries.h"
#include "support/temp_dir.h"

namespace {

using qm_test::bodiesOf;
using qm_test::CollectorOptions;
using qm_test::CollectorProcess;

const std::string kThreeRecords =
    "[{\"body\":\"first\",\"logLevel\":\"INFO\"}\n,{\"body\":\"second\"}\n,{\"body\":\"third\"}\n]";

struct PostResult {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    double seconds = 0;
};

size_t appendToString(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// A POST of `body` to /v2/log, or with `getPath` a GET of that path.
PostResult post(const CollectorProcess& collector, const std::string& body, long timeoutSec,
                const std::string& getPath = "") {
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                   &curl_easy_cleanup);
    if (!curl) throw std::runtime_error("curl_easy_init failed");
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, "Content-Type: application/json"), &curl_slist_free_all);
    const std::string url = collector.address() + ":" + std::to_string(collector.port()) +
                            (getPath.empty() ? "/v2/log" : getPath);
    PostResult result;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    if (getPath.empty()) {
        curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, timeoutSec);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, appendToString);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &result.body);
    const auto start = std::chrono::steady_clock::now();
    result.code = curl_easy_perform(curl.get());
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &result.status);
    return result;
}

// The "isSuccessful" flags of an answer; empty when the answer has no result list.
std::vector<bool> verdicts(const std::string& answer) {
    Json::Value root;
    std::istringstream stream(answer);
    std::string errors;
    std::vector<bool> flags;
    if (!Json::parseFromStream(Json::CharReaderBuilder(), stream, &root, &errors)) return flags;
    for (const Json::Value& entry : root["body"]["data"]["resultList"]) {
        flags.push_back(entry["isSuccessful"].asBool());
    }
    return flags;
}

const std::vector<std::string> kThreeBodies = {"first", "second", "third"};

TEST(CollectorTool, AcceptsEveryRecordAndKeepsRecordsAndRequest) {
    CollectorProcess collector;
    // Waiting for records that do not come gives up after its timeout.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(collector.waitForRecords(1, 200));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    const PostResult result = post(collector, kThreeRecords, 10);

    ASSERT_EQ(CURLE_OK, result.code);
    EXPECT_EQ(200, result.status);
    EXPECT_EQ(std::vector<bool>({true, true, true}), verdicts(result.body));
    const std::vector<Json::Value> records = collector.records();
    EXPECT_EQ(kThreeBodies, bodiesOf(records));
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ("INFO", records[0]["logLevel"].asString());
    const std::vector<Json::Value> requests = collector.requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("POST", requests[0]["method"].asString());
    EXPECT_EQ("/v2/log", requests[0]["path"].asString());
    EXPECT_EQ(kThreeRecords, requests[0]["body"].asString());
    EXPECT_EQ(3, requests[0]["records"].asInt());
    EXPECT_EQ("application/json", requests[0]["headers"]["Content-Type"].asString());
    // Headers the server library invents must not pass for headers the client sent.
    EXPECT_FALSE(requests[0]["headers"].isMember("REMOTE_ADDR"));
}

// What the collector finds in a post by itself: which bodies are JSON, where each record starts
// and ends, and which "body" member the fail text is looked for in.
struct PostCase {
    const char* name;
    std::string body;
    long status;
    std::vector<bool> verdicts;
    // The records file after the post; records are kept as the client wrote them.
    std::string recorded;
    std::vector<std::string> extraArgs = {"--fail-body", "say \"hi\" \xC3\xA9"};
};

// Posted to a collector that may have taken other posts before: only what this one added counts.
void expectCollectorDecides(const PostCase& row, const CollectorProcess& collector) {
    SCOPED_TRACE(row.name);
    const size_t textBefore = collector.recordsText().size();
    const size_t requestsBefore = collector.requests().size();
    const PostResult result = post(collector, row.body, 10);

    ASSERT_EQ(CURLE_OK, result.code);
    EXPECT_EQ(row.status, result.status);
    EXPECT_EQ(row.verdicts, verdicts(result.body));
    if (row.status == 200) {
        EXPECT_NE(std::string::npos, result.body.find("\"resultList\":[")) << result.body;
    }
    EXPECT_EQ(row.recorded, collector.recordsText().substr(textBefore));
    const std::vector<Json::Value> requests = collector.requests();
    ASSERT_EQ(requestsBefore + 1, requests.size());
    EXPECT_EQ(row.body, requests.back()["body"].asString());
    EXPECT_EQ(row.verdicts.size(), requests.back()["records"].asUInt());
}

TEST(CollectorTool, FindsRecordsAndTheirBodiesItself) {
    const std::string fail = R"({"body":"say \"hi\" \u00e9!"})";
    const std::string pass = R"({"body":"say \"hi\" e"})";
    const std::string deep = std::string(999, '[') + std::string(999, ']');
    const std::vector<PostCase> rows = {
        {"escaped quotes and unicode escapes are unescaped before the search",
         "[" + fail + "," + pass + R"(,{"body":"\ud83d\ude00 say \u0022hi\" \u00E9"}])",
         200,
         {false, true, false},
         fail + "\n" + pass + "\n" + R"({"body":"\ud83d\ude00 say \u0022hi\" \u00E9"})" + "\n"},
        {"only a record's own body member counts, the last of repeated ones",
         R"([{"a":{"body":"say \"hi\" é"},"l":[{"body":"say \"hi\" é"}],"body":"x"},)"
         R"({"body":"say \"hi\" é","body":"x"},{"body":"x","body":"say \"hi\" é"}])",
         200,
         {true, true, false},
         R"({"a":{"body":"say \"hi\" é"},"l":[{"body":"say \"hi\" é"}],"body":"x"})"
         "\n"
         R"({"body":"say \"hi\" é","body":"x"})"
         "\n"
         R"({"body":"x","body":"say \"hi\" é"})"
         "\n"},
        {"a body that is not a string never fails",
         R"([{"body":["say \"hi\" é"]},{"body":7},{"body":"say \"hi\" é","body":null}])",
         200,
         {true, true, true},
         R"({"body":["say \"hi\" é"]})"
         "\n"
         R"({"body":7})"
         "\n"
         R"({"body":"say \"hi\" é","body":null})"
         "\n"},
        {"nested containers and scalars are records as written",
         "[ [1,[2,{}]] ,\t\"a,\\\"]\" , -2.5e3,true,null,{\"n\":{\"m\":[{}]}}]",
         200,
         {true, true, true, true, true, true},
         "[1,[2,{}]]\n\"a,\\\"]\"\n-2.5e3\ntrue\nnull\n{\"n\":{\"m\":[{}]}}\n"},
        {"nesting as deep as jsoncpp takes", "[" + deep + "]", 200, {true}, deep + "\n"},
        {"an empty array", " [ ] ", 200, {}, ""},
        {"one object is one record", " " + fail + "\n", 200, {false}, fail + "\n"},
        {"a record with raw line ends is written anew on one line",
         "[{\"body\":\"a\",\n\"x\":[1,\r\n2]}]",
         200,
         {true},
         "{\"body\":\"a\",\"x\":[1,2]}\n"},
        {"with --quiet-dmp a dump is written as its size",
         R"([{"DmpData":"QUJD","body":"crash"}])",
         200,
         {true},
         R"({"DmpData":"<4 bytes>","body":"crash"})"
         "\n",
         {"--quiet-dmp"}},
        {"not JSON", R"([{"body":nope}])", 400, {}, ""},
        {"text after the array", R"([{"body":"a"}] x)", 400, {}, ""},
        {"a NUL byte after the array", std::string(R"([{"body":"a"}])") + '\0', 400, {}, ""},
        {"two arrays", "[][]", 400, {}, ""},
        {"a comment", R"([/* c */{"body":"a"}])", 400, {}, ""},
        {"a raw control character in a string", "[{\"body\":\"a\tb\"}]", 400, {}, ""},
        {"a string, not an array or object", R"("[{}]")", 400, {}, ""},
        {"an empty body", "", 400, {}, ""},
        {"nesting deeper than jsoncpp takes", "[" + deep + "[]]", 400, {}, ""},
        // Parsed by recursion: a post of nothing but brackets must not exhaust the stack.
        {"a megabyte of brackets", std::string(1 << 20, '['), 400, {}, ""},
    };
    // One collector for every row with the same arguments: a post it refused leaves it serving.
    const CollectorProcess shared(CollectorOptions{false, "ok", PostCase().extraArgs});
    for (const PostCase& row : rows) {
        if (row.extraArgs == PostCase().extraArgs) {
            expectCollectorDecides(row, shared);
        } else {
            expectCollectorDecides(row,
                                   CollectorProcess(CollectorOptions{false, "ok", row.extraArgs}));
        }
    }
}

TEST(CollectorTool, StallHoldsTheClientUntilItGivesUp) {
    CollectorProcess collector(CollectorOptions{false, "stall", {}});
    const PostResult result = post(collector, kThreeRecords, 1);

    EXPECT_EQ(CURLE_OPERATION_TIMEDOUT, result.code);
    EXPECT_GE(result.seconds, 0.9);
    EXPECT_LT(result.seconds, 5.0);
    EXPECT_EQ(kThreeBodies, bodiesOf(collector.records()));
}

// The raw modes write HTTP by hand; a wrong Content-Length or a lost piece shows up here.
TEST(CollectorTool, SplitAnswerArrivesWholeAfterPauses) {
    CollectorProcess collector(CollectorOptions{false, "split", {"--fail-index", "2"}});
    const PostResult result = post(collector, kThreeRecords, 10);

    ASSERT_EQ(CURLE_OK, result.code);
    EXPECT_EQ(200, result.status);
    // --fail-index refuses only that position; the record is kept all the same.
    EXPECT_EQ(std::vector<bool>({true, true, false}), verdicts(result.body));
    EXPECT_EQ(kThreeBodies, bodiesOf(collector.records()));
    EXPECT_GE(result.seconds, 0.1);
}

TEST(CollectorTool, ResetStillRecordsWhatArrived) {
    CollectorProcess collector(CollectorOptions{true, "reset", {}});
    const PostResult result = post(collector, kThreeRecords, 10);

    EXPECT_NE(CURLE_OK, result.code);
    EXPECT_TRUE(result.body.empty());
    EXPECT_EQ(kThreeBodies, bodiesOf(collector.records()));
}

// The collector's page, as a real browser shows it. Chromium logs every console message alike
// (no level), and the page writes none by design, so any console line is a fault.
std::string chromiumPath() {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = folder + "/chromium";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::string();
}

#define QM_SKIP_UNLESS_CHROMIUM(chromium)                                                \
    do {                                                                                 \
        if ((chromium).empty()) {                                                        \
            GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it): " \
                            "the collector's page is not checked in a browser";          \
        }                                                                                \
    } while (false)

struct BrowserView {
    // The document once its scripts ran, up to the page's own script (whose text is no view).
    std::string dom;
    std::vector<std::string> consoleLines;
};

// Virtual time runs the page's timers for 5 s without waiting for them; network waits do not
// count against it.
BrowserView viewInBrowser(const std::string& chromium, const std::string& url) {
    qm_test::TempDir dir("qm_page_browser");
    const std::string command = "timeout 120 " + chromium +
                                " --headless --no-sandbox --disable-gpu --no-first-run"
                                " --user-data-dir=" +
                                dir.file("profile") +
                                " --enable-logging=stderr --v=0 --virtual-time-budget=5000"
                                " --dump-dom '" +
                                url + "' >" + dir.file("dom.html") + " 2>" + dir.file("log.txt");
    EXPECT_EQ(0, std::system(command.c_str())) << command;
    BrowserView view;
    view.dom = qm_test::readFileText(dir.file("dom.html"));
    view.dom = view.dom.substr(0, view.dom.find("<script>"));
    for (const std::string& line :
         qm_crash::splitLines(qm_test::readFileText(dir.file("log.txt")))) {
        if (line.find(":CONSOLE") != std::string::npos) view.consoleLines.push_back(line);
    }
    return view;
}

std::string pageUrl(const CollectorProcess& collector, const std::string& pathAndQuery) {
    return collector.address() + ":" + std::to_string(collector.port()) + pathAndQuery;
}

std::string compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

__attribute__((noinline)) void crashForThePage() {
    volatile int* volatile target = nullptr;
    *target = 42;
}

// A crash record as the library sends it, dump and all. Where real crashes cannot run, a record
// of the same shape whose dump is a bare minidump header.
Json::Value crashRecordFromTheLibrary() {
    if (!qm_crash::whyCrashesCannotRun().empty()) {
        Json::Value record;
        record["body"] = "Android NDK Crash";
        record["logLevel"] = "FATAL";
        record["logSource"] = "CrashDump";
        record["logType"] = "quillmark-log";
        record["sendTime"] = std::to_string(qm_test::nowMs());
        record["DmpData"] = "TURNUJOnAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
        return record;
    }
    CollectorProcess collector;
    qm_test::TempDir storage("qm_page_crash");
    const int status = qm_test::runInChild(
        [&] {
            if (QuillMarkInitialize("PageApp", storage.path().c_str(), "1.2.3",
                                    collector.address().c_str(), collector.port(), nullptr, nullptr,
                                    true, false, "quillmark-user") != 0) {
                return 2;
            }
            if (QuillMarkOpenCrashCatcher() != 1) return 3;
            crashForThePage();
            return 4;
        },
        60000);
    EXPECT_EQ(128 + SIGSEGV, status);
    for (const Json::Value& record : collector.records()) {
        if (record.isMember("DmpData")) return record;
    }
    ADD_FAILURE() << "no crash record arrived";
    return Json::Value();
}

std::string demoRecord(const char* level, const char* type, const std::string& body) {
    Json::Value record;
    record["body"] = body;
    record["logLevel"] = level;
    record["logType"] = type;
    record["logSource"] = "quillmark-linux";
    record["sendTime"] = std::to_string(qm_test::nowMs());
    return compact(record);
}

// A test fake of the host symbolication tool: it checks that it was handed symbol folders and
// a minidump, then prints a crash reason and one known frame (with characters a page must
// escape).
const char* const kFakeSymbolicateTool =
    "#!/bin/sh\n"
    "symbols=0\n"
    "while [ $# -gt 1 ]; do\n"
    "  case \"$1\" in\n"
    "    --symbols)\n"
    "      [ -d \"$2\" ] || { echo \"fake: $2 is no folder\"; exit 3; }\n"
    "      symbols=$((symbols + 1))\n"
    "      shift 2 ;;\n"
    "    *) echo \"fake: unexpected argument $1\"; exit 3 ;;\n"
    "  esac\n"
    "done\n"
    "[ \"$symbols\" -gt 0 ] || { echo \"fake: no --symbols\"; exit 3; }\n"
    "[ \"$(head -c 4 \"$1\")\" = MDMP ] || { echo \"fake: $1 is no minidump\"; exit 3; }\n"
    "echo \"Crash reason:  SIGSEGV /SEGV_MAPERR\"\n"
    "echo \"Thread 0 (crashed)\"\n"
    "echo \" 0  page_app!crashForThePage(std::vector<int>&) [page_app.cpp : 42 + 0x4]\"\n";

const std::string kHostileBody = "<img src=x onerror=\"document.title='pwned'\">";

// What one browser visit must and must not show (as serialised HTML: wire text escaped).
struct PageViewCase {
    const char* name;
    bool withTool;
    const char* query;
    std::vector<std::string> shown;
    std::vector<std::string> notShown;
};

TEST(CollectorPage, ShowsRecordsFiltersAndCrashesInABrowser) {
    const std::string chromium = chromiumPath();
    QM_SKIP_UNLESS_CHROMIUM(chromium);
    Json::Value crash = crashRecordFromTheLibrary();
    ASSERT_TRUE(crash.isObject());
    // The library does not send the last logs yet; any field of log-like objects must show.
    Json::Value lastLogs(Json::arrayValue);
    lastLogs.append(Json::Value(Json::objectValue));
    lastLogs[0]["body"] = "tapped <b>Pay</b>";
    lastLogs[0]["logLevel"] = "INFO";
    lastLogs[0]["sendTime"] = "1765300000000";
    lastLogs.append(Json::Value(Json::objectValue));
    lastLogs[1]["body"] = "about to write through null";
    lastLogs[1]["logLevel"] = "WARN";
    lastLogs[1]["sendTime"] = "1765300000500";
    crash["recentRecords"] = lastLogs;
    const std::string demo =
        "[" + demoRecord("INFO", "quillmark-log", "demo: level 3 loaded") + "," +
        demoRecord("WARN", "quillmark-log", "demo: frame took 48 ms") + "," +
        demoRecord("ERROR", "quillmark-log", "demo: could not open the save file") + "," +
        demoRecord("INFO", "payments-log", "demo: payment screen opened") + "," +
        demoRecord("INFO", "quillmark-log", kHostileBody) + "]";

    const qm_test::TempDir symbols("qm_page_symbols");
    const std::string fakeTool = symbols.file("fake_symbolicate_tool.sh");
    qm_test::writeFileText(fakeTool, kFakeSymbolicateTool);
    ASSERT_EQ(0, ::chmod(fakeTool.c_str(), 0755));
    CollectorProcess withTool(CollectorOptions{
        false, "ok", {"--page", "--symbolicate", fakeTool, "--symbols", symbols.path()}});
    CollectorProcess withoutTool(CollectorOptions{false, "ok", {"--page"}});
    for (const CollectorProcess* collector : {&withTool, &withoutTool}) {
        ASSERT_EQ(200, post(*collector, demo, 10).status);
        ASSERT_EQ(200, post(*collector, compact(crash), 30).status);
    }
    // The stack is made on a thread of the collector's own, after the post was answered.
    std::string state;
    for (int i = 0; i < 500; ++i) {
        state = post(withTool, "", 10, "/page/state").body;
        if (state.find("\"state\":\"waiting\"") == std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_NE(std::string::npos, state.find("\"state\":\"done\"")) << state;

    const std::string frame =
        "page_app!crashForThePage(std::vector&lt;int&gt;&amp;) [page_app.cpp : 42 + 0x4]";
    const std::vector<PageViewCase> rows = {
        {"every record, the crash with its stack and its last logs",
         true,
         "/",
         {"6 of 6 shown", "demo: level 3 loaded", "demo: frame took 48 ms",
          "demo: payment screen opened", "&lt;img src=x onerror=\"document.title='pwned'\"&gt;",
          "Crash at ", "SIGSEGV /SEGV_MAPERR", frame, "<h4>Last logs</h4>",
          "tapped &lt;b&gt;Pay&lt;/b&gt;", "about to write through null",
          "from the field recentRecords"},
         {"<img", "<title>pwned", "No symbol store was given", "<b>"}},
        {"a level in the address shows that level only",
         true,
         "/?level=ERROR",
         {"1 of 6 shown", "demo: could not open the save file", "<option value=\"ERROR\">"},
         {"demo: level 3 loaded", "demo: frame took 48 ms", "demo: payment screen opened"}},
        {"a channel in the address shows that channel only",
         true,
         "/?channel=payments-log",
         {"1 of 6 shown", "demo: payment screen opened"},
         {"demo: level 3 loaded", "demo: could not open the save file"}},
        {"without a symbol store the crash shows its fields and says so",
         false,
         "/",
         {"6 of 6 shown", "No symbol store was given", "Android NDK Crash", "<h4>Last logs</h4>",
          "about to write through null"},
         {"crashForThePage", "<img"}},
    };
    for (const PageViewCase& row : rows) {
        SCOPED_TRACE(row.name);
        const BrowserView view =
            viewInBrowser(chromium, pageUrl(row.withTool ? withTool : withoutTool, row.query));
        // The script ran and polled: the status line counts what arrived.
        EXPECT_NE(std::string::npos, view.dom.find("6 records, 1 crashes")) << view.dom;
        EXPECT_EQ(std::vector<std::string>(), view.consoleLines);
        // The record list never shows a dump's Base64 text, only its size.
        EXPECT_EQ(std::string::npos, view.dom.find(crash["DmpData"].asString().substr(0, 40)));
        for (const std::string& text : row.shown) {
            EXPECT_NE(std::string::npos, view.dom.find(text)) << text << "\n" << view.dom;
        }
        for (const std::string& text : row.notShown) {
            EXPECT_EQ(std::string::npos, view.dom.find(text)) << text << "\n" << view.dom;
        }
    }
}

// The console check above must be able to fail: a page whose script throws is caught by it.
TEST(CollectorPage, BrowserConsoleCheckSeesAScriptError) {
    const std::string chromium = chromiumPath();
    QM_SKIP_UNLESS_CHROMIUM(chromium);
    const qm_test::TempDir dir("qm_page_broken");
    qm_test::writeFileText(dir.file("broken.html"),
                           "<!DOCTYPE html><html><head><link rel=\"icon\" href=\"data:,\"></head>"
                           "<body><p id=\"p\">before</p><script>"
                           "document.getElementById(\"p\").textContent = \"ran\";"
                           "notDefinedAnywhere();</script></body></html>");
    const BrowserView view = viewInBrowser(chromium, "file://" + dir.file("broken.html"));
    EXPECT_NE(std::string::npos, view.dom.find("<p id=\"p\">ran</p>")) << view.dom;
    ASSERT_EQ(1u, view.consoleLines.size());
    EXPECT_NE(std::string::npos, view.consoleLines[0].find("notDefinedAnywhere"));
}

TEST(ChildProcess, ReportsExitCodesSignalsExceptionsAndTimeouts) {
    EXPECT_EQ(7, qm_test::runInChild([] { return 7; }, 5000));
    EXPECT_EQ(128 + SIGABRT, qm_test::runInChild([]() -> int { ::abort(); }, 5000));
    EXPECT_EQ(99, qm_test::runInChild([]() -> int { throw std::runtime_error("x"); }, 5000));
    EXPECT_EQ(98, qm_test::runInChild(
                      [] {
                          ADD_FAILURE() << "deliberate failure inside a child; not a fault";
                          return 0;
                      },
                      5000));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, qm_test::runInChild(
                      [] {
                          ::sleep(30);
                          return 0;
                      },
                      300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    // At once: each its own result, in order, and one that hangs does not hold the others'.
    EXPECT_EQ((std::vector<int>{-1, 3, 128 + SIGABRT}),
              qm_test::runInChildren({[] {
                                          ::sleep(30);
                                          return 0;
                                      },
                                      [] { return 3; }, []() -> int { ::abort(); }},
                                     300));
}

}  // namespace
