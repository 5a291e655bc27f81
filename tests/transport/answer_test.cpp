// How a collector answer decides which records of a batch go to local storage.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/host_capture.h"
#include "support/scripted_transport.h"
#include "transport/batchDelivery.h"
#include "transport/collectorAnswer.h"
#include "transport/recordStore.h"
#include "transport/recordWriter.h"

namespace {

using Stored = std::pair<std::string, std::string>;  // record text, channel
using Lines = std::vector<std::string>;

struct Bulk {
    std::vector<std::string> records;  // each one compact object + "\n", as sent
    std::string body;                  // the JSON array that was sent
};

// Record 1 carries text that needs escaping, so a stored text that was re-written differently
// from what was sent would show.
Bulk makeBulk(size_t count) {
    Bulk bulk;
    bulk.body = "[";
    for (size_t i = 0; i < count; ++i) {
        MapValues record{
            {"body", i == 1 ? "say \"hi\"\n\tback\\slash \xC3\xA9" : "record " + std::to_string(i)},
            {"handlerName", "quillmark-user"},
            {"logLevel", "ERROR"},
            {"qmkBulkIndex", std::to_string(i)}};
        std::string text;
        EXPECT_TRUE(writeRecordObject(record, text));
        if (i > 0) bulk.body += ",";
        bulk.body += text;
        bulk.records.push_back(text);
    }
    bulk.body += "]";
    return bulk;
}

std::string answerWith(const std::string& resultList) {
    return R"({"header":{"code":200,"message":"OK"},"body":{"data":{"resultList":)" + resultList +
           "}}}";
}

std::vector<Stored> recordsOf(const Bulk& bulk, const std::vector<size_t>& indices,
                              const std::string& channel) {
    std::vector<Stored> expected;
    for (size_t i : indices) expected.emplace_back(bulk.records.at(i), channel);
    return expected;
}

// The one warning for a batch of `size` that left `kept` records to the store.
Lines keptLine(size_t kept, size_t size, bool answered) {
    return {"W/NDK: " + RecordStore::undeliveredLine(kept, size, answered)};
}

class AnswerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_store.setKeepObserver([this](const std::string& text, const std::string& channel) {
            m_stored.emplace_back(text, channel);
        });
        qm_platform::startLogCapture();
    }
    void TearDown() override { qm_platform::stopLogCapture(); }

    // The answer read against the batch, and the records it did not take handed to storage.
    DeliveryOutcome evaluate(const std::string& answer, const Bulk& bulk,
                             const std::string& channel = "quillmark-user") {
        m_stored.clear();
        qm_platform::startLogCapture();
        Batch batch;
        for (const std::string& record : bulk.records) batch.add(record);
        EXPECT_EQ(batch.body(), bulk.body);
        const DeliveryOutcome outcome = readCollectorAnswer(answer, batch.size());
        EXPECT_EQ(outcome.records.size(), bulk.records.size());
        m_store.keepUndelivered(batch, outcome, channel);
        return outcome;
    }

    ChannelRegistry m_registry;
    RecordStore m_store{m_registry};
    std::vector<Stored> m_stored;
};

TEST_F(AnswerTest, NoAnswerStoresTheWholeBatchInOrder) {
    const Bulk bulk = makeBulk(3);
    EXPECT_EQ(evaluate("", bulk, "Corvane").count(RecordOutcome::NotAnswered), 3u);
    EXPECT_EQ(m_stored, recordsOf(bulk, {0, 1, 2}, "Corvane"));
    EXPECT_EQ(qm_platform::capturedLogLines(), keptLine(3, 3, false));
}

TEST_F(AnswerTest, EachResultEntryDecidesItsOwnRecord) {
    struct Row {
        const char* entry;
        bool delivered;
    };
    const std::vector<Row> rows = {
        {R"({"isSuccessful":true})", true},
        {R"({"isSuccessful":false})", false},
        {R"({})", false},
        {R"({"isSuccessful":null})", false},
        {R"({"isSuccessful":"yes"})", false},
        {R"({"isSuccessful":"true"})", false},
        {R"({"isSuccessful":1})", true},
        {R"({"isSuccessful":0})", false},
        {R"({"IsSuccessful":true})", false},
        {R"({"isSuccessful":true,"code":0})", true},
        {R"(true)", false},
        {R"(null)", false},
        {R"([{"isSuccessful":true}])", false},
    };
    std::string resultList = "[";
    std::vector<size_t> failing;
    for (size_t i = 0; i < rows.size(); ++i) {
        resultList += (i > 0 ? "," : "") + std::string(rows[i].entry);
        if (!rows[i].delivered) failing.push_back(i);
    }
    resultList += "]";
    const Bulk bulk = makeBulk(rows.size());

    const DeliveryOutcome outcome = evaluate(answerWith(resultList), bulk, "channel-b");
    EXPECT_EQ(outcome.count(RecordOutcome::Refused), failing.size());
    EXPECT_TRUE(outcome.collectorAnswered);
    EXPECT_EQ(m_stored, recordsOf(bulk, failing, "channel-b"));
    EXPECT_EQ(qm_platform::capturedLogLines(), keptLine(failing.size(), rows.size(), true));
}

// Which records of a batch of three an answer leaves to local storage. Only a collector answer
// (an object with "header" and a "resultList" array) decides per record; every other answer
// keeps the whole batch, and a record without an entry of its own is kept too.
TEST_F(AnswerTest, OnlyACollectorAnswerDecidesPerRecord) {
    struct Row {
        const char* name;
        std::string answer;
        bool cut;  // an answer cut short: the entries that were cut are simply missing
        std::vector<size_t> kept;
    };
    const std::vector<size_t> all = {0, 1, 2};
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nX-Note: a \"header\" word\r\n\r\n";
    const std::string middleFails =
        answerWith(R"([{"isSuccessful":true},{"isSuccessful":false},{"isSuccessful":true}])");
    const std::string brokenStart =
        R"({"header":{},"body":{"data":{"resultList":[{"isSuccessful":false},)";
    const std::string indented =
        "{\n  \"header\": {\n    \"code\": 200,\n    \"message\": \"OK\",\n"
        "    \"trace\": {\n      \"ids\": [\n        1,\n        2\n      ]\n    }\n  },\n"
        "  \"body\": {\n    \"data\": {\n      \"resultList\": [\n"
        "        {\n          \"isSuccessful\": true\n        },\n"
        "        {\n          \"isSuccessful\": false,\n          \"reason\": {\n"
        "            \"code\": 7\n          }\n        },\n"
        "        {\n          \"isSuccessful\": true\n        }\n"
        "      ]\n    }\n  }\n}";
    const std::vector<Row> rows = {
        {"per record", middleFails, false, {1}},
        {"below status line and headers", head + middleFails, false, {1}},
        {"text after the object", head + middleFails + "\r\nsomething after\r\n", false, {1}},
        {"pretty-printed over lines",
         "{\"header\":{},\n \"body\":{\"data\":{\"resultList\":[\n"
         "  {\"isSuccessful\":true},\n  {\"isSuccessful\":false},\n  {\"isSuccessful\":true}]}}}\n",
         false,
         {1}},
        // What json.dumps(answer, indent=2) writes.
        {"indented by two", indented, false, {1}},
        {"indented, below status line and headers", head + indented, false, {1}},
        {"indented, cut inside an entry", indented.substr(0, indented.rfind("true")), true, {1, 2}},
        {"space after the brace", "{ " + middleFails.substr(1), false, {1}},
        {"line feed after the brace", "{\n" + middleFails.substr(1), false, {1}},
        {"tabs and CRLF",
         "{\r\n\t\"header\" :\t{ } ,\r\n\t\"body\":{\"data\":{\"resultList\":[\r\n\t\t"
         "{\"isSuccessful\":true} "
         ",\r\n\t\t{\"isSuccessful\":false},{\"isSuccessful\":true}\r\n\t]}}\r\n}",
         false,
         {1}},
        {"body before header",
         R"({"body":{"data":{"resultList":[{"isSuccessful":true},{"isSuccessful":false},)"
         R"({"isSuccessful":true}]}},"header":{"code":200}})",
         false,
         {1}},
        {"shorter list",
         answerWith(R"([{"isSuccessful":false},{"isSuccessful":true}])"),
         false,
         {0, 2}},
        {"shorter list, cut", answerWith(R"([{"isSuccessful":true}])"), true, {1, 2}},
        {"empty list", answerWith("[]"), false, all},
        {"longer list",
         answerWith(R"([{"isSuccessful":true},{"isSuccessful":true},{"isSuccessful":true},)"
                    R"({"isSuccessful":false}])"),
         false,
         {}},
        // The entry being read at the break is no result; the complete ones apply.
        {"broken between entries", brokenStart, true, {0, 1, 2}},
        {"broken inside an entry", brokenStart + R"({"isSucc)", true, {0, 1, 2}},
        {"list continued on the next line",
         brokenStart + "\n{\"isSuccessful\":true}]}}}",
         false,
         {0, 2}},
        {"plain text", "OK", false, all},
        {"html page",
         "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/html\r\n\r\n<html><body>502</body></html>",
         false, all},
        {"empty body", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, all},
        {"binary", std::string("\x01\xFF\x00{\"head", 8), false, all},
        {"Header in another case",
         R"({"Header":{},"body":{"data":{"resultList":[{"isSuccessful":true}]}}})", false, all},
        {"no header", R"({"body":{"data":{"resultList":[{"isSuccessful":true}]}}})", false, all},
        {"error without results", R"({"header":{"code":500,"message":"invalid project key"}})",
         false, all},
        {"empty body member", R"({"header":{},"body":{}})", false, all},
        {"body is text", R"({"header":{},"body":"rejected"})", false, all},
        {"resultList an object",
         R"({"header":{},"body":{"data":{"resultList":{"isSuccessful":true}}}})", false, all},
        {"resultList null", R"({"header":{},"body":{"data":{"resultList":null}}})", false, all},
        {"broken after the marker", R"({"header")", false, all},
    };
    const Bulk bulk = makeBulk(3);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const DeliveryOutcome outcome = evaluate(row.answer, bulk);
        EXPECT_EQ(m_stored, recordsOf(bulk, row.kept, "quillmark-user"));
        EXPECT_EQ(outcome.count(RecordOutcome::Accepted), 3 - row.kept.size());
        EXPECT_EQ(outcome.allAccepted(), row.kept.empty());
    }
}

// The request body is the records joined as a JSON array, and each record reads back as it was
// added; a batch of one record can be made from its array without copying it.
TEST(BatchTest, BodyAndRecordsAgree) {
    struct Row {
        std::vector<std::string> records;
        std::string body;
    };
    const std::vector<Row> rows = {
        {{}, "[]"},
        {{R"({"a":"1"})"}, R"([{"a":"1"}])"},
        {{R"({"a":"1"})", R"({"b":"[,]"})", "{}"}, R"([{"a":"1"},{"b":"[,]"},{}])"},
    };
    for (const Row& row : rows) {
        Batch batch;
        for (const std::string& record : row.records) batch.add(record);
        EXPECT_EQ(batch.body(), row.body);
        ASSERT_EQ(batch.size(), row.records.size());
        for (size_t i = 0; i < row.records.size(); ++i) EXPECT_EQ(batch.record(i), row.records[i]);
    }
    const Batch one = Batch::ofOne(R"([{"dmp":"QUJD"}])");
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one.record(0), R"({"dmp":"QUJD"})");
    EXPECT_TRUE(Batch::ofOne("").empty());
}

}  // namespace

// Only a complete 2xx answer reaches the answer reader: every other status, and an answer that
// is not complete, leaves the whole batch not answered, whatever its body says.
namespace {

TEST(DeliverBatchTest, OnlyACompleteSuccessStatusIsReadPerRecord) {
    struct Row {
        long status;
        bool complete;
        bool cut;
        std::vector<RecordOutcome> outcome;
    };
    const auto yes = RecordOutcome::Accepted;
    const auto no = RecordOutcome::Refused;
    const std::vector<RecordOutcome> none(3, RecordOutcome::NotAnswered);
    const std::vector<Row> rows = {
        {200, true, false, {yes, no, yes}}, {201, true, false, {yes, no, yes}},
        {299, true, false, {yes, no, yes}}, {200, true, true, {yes, no, yes}},
        {200, false, false, none},          {0, false, false, none},
        {199, true, false, none},           {300, true, false, none},
        {302, true, false, none},           {404, true, false, none},
        {408, true, false, none},           {413, true, false, none},
        {429, true, false, none},           {500, true, false, none},
        {503, true, false, none},
    };
    Batch batch;
    for (const char* record : {R"({"a":"0"})", R"({"a":"1"})", R"({"a":"2"})"}) batch.add(record);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.status) + (row.complete ? " complete" : "") +
                     (row.cut ? " cut" : ""));
        qm_test::ScriptedCollector collector(
            [&row](const qm_test::SeenRequest&, const ExchangeDeadline&) {
                CollectorAnswer answer;
                answer.connected = answer.sent = true;
                answer.complete = row.complete;
                answer.status = row.status;
                answer.cut = row.cut;
                answer.body = qm_test::ScriptedCollector::answerFor({true, false, true});
                return answer;
            });
        const std::unique_ptr<CollectorTransport> transport = collector.factory()();
        EXPECT_EQ(deliverBatch(*transport, "http://127.0.0.1", 80, batch).records, row.outcome);
        ASSERT_EQ(collector.requests().size(), 1u);
        EXPECT_EQ(collector.requests()[0].url, "http://127.0.0.1:80/v2/log");
        EXPECT_EQ(collector.requests()[0].body, batch.body());
    }
}

}  // namespace
