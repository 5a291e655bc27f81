// Checks the loopback collector and the process helpers the integration tests stand on.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/record_queries.h"

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

PostResult post(const CollectorProcess& collector, const std::string& body, long timeoutSec) {
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                   &curl_easy_cleanup);
    if (!curl) throw std::runtime_error("curl_easy_init failed");
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, "Content-Type: application/json"), &curl_slist_free_all);
    const std::string url =
        collector.address() + ":" + std::to_string(collector.port()) + "/v2/log";
    PostResult result;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
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

TEST(CollectorTool, FailIndexRefusesOnlyThatPosition) {
    CollectorProcess collector(CollectorOptions{false, "ok", {"--fail-index", "1"}});
    const PostResult result = post(collector, kThreeRecords, 10);

    ASSERT_EQ(CURLE_OK, result.code);
    EXPECT_EQ(std::vector<bool>({true, false, true}), verdicts(result.body));
    EXPECT_EQ(kThreeBodies, bodiesOf(collector.records()));
}

TEST(CollectorTool, ServesHttpsWithItsOwnCertificate) {
    CollectorProcess collector(CollectorOptions{true, "ok", {}});
    EXPECT_EQ("https://127.0.0.1", collector.address());
    const PostResult result = post(collector, kThreeRecords, 10);

    ASSERT_EQ(CURLE_OK, result.code);
    EXPECT_EQ(std::vector<bool>({true, true, true}), verdicts(result.body));
    EXPECT_TRUE(collector.waitForRecords(3, 1000));
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

void expectCollectorDecides(const PostCase& row) {
    SCOPED_TRACE(row.name);
    CollectorProcess collector(CollectorOptions{false, "ok", row.extraArgs});
    const PostResult result = post(collector, row.body, 10);

    ASSERT_EQ(CURLE_OK, result.code);
    EXPECT_EQ(row.status, result.status);
    EXPECT_EQ(row.verdicts, verdicts(result.body));
    if (row.status == 200) {
        EXPECT_NE(std::string::npos, result.body.find("\"resultList\":[")) << result.body;
    }
    EXPECT_EQ(row.recorded, collector.recordsText());
    const std::vector<Json::Value> requests = collector.requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(row.body, requests[0]["body"].asString());
    EXPECT_EQ(row.verdicts.size(), requests[0]["records"].asUInt());
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
    for (const PostCase& row : rows) expectCollectorDecides(row);
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
    EXPECT_EQ(std::vector<bool>({true, true, false}), verdicts(result.body));
    EXPECT_GE(result.seconds, 0.1);
}

TEST(CollectorTool, ResetStillRecordsWhatArrived) {
    CollectorProcess collector(CollectorOptions{true, "reset", {}});
    const PostResult result = post(collector, kThreeRecords, 10);

    EXPECT_NE(CURLE_OK, result.code);
    EXPECT_TRUE(result.body.empty());
    EXPECT_EQ(kThreeBodies, bodiesOf(collector.records()));
}

TEST(CollectorTool, WaitForRecordsGivesUpAfterItsTimeout) {
    CollectorProcess collector;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(collector.waitForRecords(1, 200));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
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
}

}  // namespace
