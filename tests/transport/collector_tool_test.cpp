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
