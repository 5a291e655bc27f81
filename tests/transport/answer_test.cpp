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

// Every answer goes the road of a pass: the scripted transport gives it to deliverBatch, which
// reads it against the batch, and the records it did not take are handed to storage.
class AnswerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_store.setKeepObserver([this](const std::string& text, const std::string& channel) {
            m_stored.emplace_back(text, channel);
        });
    }
    void TearDown() override { qm_platform::stopLogCapture(); }

    DeliveryOutcome evaluate(const CollectorAnswer& answer, const Bulk& bulk,
                             const std::string& channel = "quillmark-user") {
        m_stored.clear();
        qm_platform::startLogCapture();
        Batch batch;
        for (const std::string& record : bulk.records) batch.add(record);
        qm_test::ScriptedCollector collector(
            [&answer](const qm_test::SeenRequest&, const ExchangeDeadline&) { return answer; });
        const std::unique_ptr<CollectorTransport> transport = collector.factory()();
        const DeliveryOutcome outcome = deliverBatch(*transport, "http://127.0.0.1", 80, batch);
        EXPECT_EQ(outcome.records.size(), bulk.records.size());
        m_store.keepUndelivered(batch, outcome, channel);
        EXPECT_EQ(collector.requests().size(), 1u);
        for (const qm_test::SeenRequest& request : collector.requests()) {
            EXPECT_EQ(request.url, "http://127.0.0.1:80/v2/log");
            EXPECT_EQ(request.body, bulk.body);
        }
        return outcome;
    }

    ChannelRegistry m_registry;
    RecordStore m_store{m_registry};
    std::vector<Stored> m_stored;
};

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

    const DeliveryOutcome outcome = evaluate(
        qm_test::ScriptedCollector::answered(200, answerWith(resultList)), bulk, "channel-b");
    EXPECT_EQ(outcome.count(RecordOutcome::Refused), failing.size());
    EXPECT_TRUE(outcome.collectorAnswered);
    EXPECT_EQ(m_stored, recordsOf(bulk, failing, "channel-b"));
    EXPECT_EQ(qm_platform::capturedLogLines(), keptLine(failing.size(), rows.size(), true));
}

// The answer shapes, one table: what a batch of three keeps for each answer a transport may
// hand back. Only a complete 2xx answer is read, and only a collector answer (an object with
// "header" and a "resultList" array) decides per record; every other answer keeps the whole
// batch not answered, and a record without an entry of its own is not answered either.
TEST_F(AnswerTest, OnlyACompleteSuccessfulCollectorAnswerDecidesPerRecord) {
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
    struct Row {
        const char* name;
        std::string body;
        // One letter per record: 'Y' accepted, 'N' refused, '-' not answered.
        const char* outcome;
        long status = 200;
        bool complete = true;
        // An answer the transport cut at its read limit: the entries cut away are missing.
        bool cut = false;
        bool connected = true;
    };
    const std::vector<Row> rows = {
        {"per record", middleFails, "YNY"},
        {"below status line and headers", head + middleFails, "YNY"},
        {"text after the object", head + middleFails + "\r\nsomething after\r\n", "YNY"},
        {"pretty-printed over lines",
         "{\"header\":{},\n \"body\":{\"data\":{\"resultList\":[\n"
         "  {\"isSuccessful\":true},\n  {\"isSuccessful\":false},\n  {\"isSuccessful\":true}]}}}\n",
         "YNY"},
        // What json.dumps(answer, indent=2) writes.
        {"indented by two", indented, "YNY"},
        {"indented, below status line and headers", head + indented, "YNY"},
        {"indented, cut inside an entry", indented.substr(0, indented.rfind("true")), "YNN", 200,
         true, true},
        {"space after the brace", "{ " + middleFails.substr(1), "YNY"},
        {"line feed after the brace", "{\n" + middleFails.substr(1), "YNY"},
        {"tabs and CRLF",
         "{\r\n\t\"header\" :\t{ } ,\r\n\t\"body\":{\"data\":{\"resultList\":[\r\n\t\t"
         "{\"isSuccessful\":true} "
         ",\r\n\t\t{\"isSuccessful\":false},{\"isSuccessful\":true}\r\n\t]}}\r\n}",
         "YNY"},
        {"body before header",
         R"({"body":{"data":{"resultList":[{"isSuccessful":true},{"isSuccessful":false},)"
         R"({"isSuccessful":true}]}},"header":{"code":200}})",
         "YNY"},
        {"shorter list", answerWith(R"([{"isSuccessful":false},{"isSuccessful":true}])"), "NY-"},
        {"shorter list, cut", answerWith(R"([{"isSuccessful":true}])"), "Y--", 200, true, true},
        {"empty list", answerWith("[]"), "---"},
        {"longer list",
         answerWith(R"([{"isSuccessful":true},{"isSuccessful":true},{"isSuccessful":true},)"
                    R"({"isSuccessful":false}])"),
         "YYY"},
        // The entry being read at the break is no result; the complete ones apply.
        {"broken between entries", brokenStart, "N--", 200, true, true},
        {"broken inside an entry", brokenStart + R"({"isSucc)", "N--", 200, true, true},
        {"list continued on the next line", brokenStart + "\n{\"isSuccessful\":true}]}}}", "NY-"},
        {"plain text", "OK", "---"},
        {"html page",
         "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/html\r\n\r\n<html><body>502</body></html>",
         "---"},
        {"empty body", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "---"},
        {"binary", std::string("\x01\xFF\x00{\"head", 8), "---"},
        {"Header in another case",
         R"({"Header":{},"body":{"data":{"resultList":[{"isSuccessful":true}]}}})", "---"},
        {"no header", R"({"body":{"data":{"resultList":[{"isSuccessful":true}]}}})", "---"},
        {"error without results", R"({"header":{"code":500,"message":"invalid project key"}})",
         "---"},
        {"empty body member", R"({"header":{},"body":{}})", "---"},
        {"body is text", R"({"header":{},"body":"rejected"})", "---"},
        {"resultList an object",
         R"({"header":{},"body":{"data":{"resultList":{"isSuccessful":true}}}})", "---"},
        {"resultList null", R"({"header":{},"body":{"data":{"resultList":null}}})", "---"},
        {"broken after the marker", R"({"header")", "---"},
        // The status and completeness of the exchange, whatever the body says.
        {"201", middleFails, "YNY", 201},
        {"299", middleFails, "YNY", 299},
        {"200 cut after the list", middleFails, "YNY", 200, true, true},
        {"200, not complete", middleFails, "---", 200, false},
        {"no status, not complete", middleFails, "---", 0, false},
        {"nothing connected", middleFails, "---", 0, false, false, false},
        {"199", middleFails, "---", 199},
        {"300", middleFails, "---", 300},
        {"302", middleFails, "---", 302},
        {"404", middleFails, "---", 404},
        {"408", middleFails, "---", 408},
        {"413", middleFails, "---", 413},
        {"429", middleFails, "---", 429},
        {"500", middleFails, "---", 500},
        {"503", middleFails, "---", 503},
    };
    const Bulk bulk = makeBulk(3);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CollectorAnswer answer = qm_test::ScriptedCollector::answered(row.status, row.body);
        answer.complete = row.complete;
        answer.cut = row.cut;
        answer.connected = answer.sent = row.connected;
        if (!row.connected) answer.body.clear();
        const DeliveryOutcome outcome = evaluate(answer, bulk);
        std::string seen;
        std::vector<size_t> kept;
        for (size_t i = 0; i < outcome.records.size(); ++i) {
            const RecordOutcome each = outcome.records[i];
            seen += each == RecordOutcome::Accepted  ? 'Y'
                    : each == RecordOutcome::Refused ? 'N'
                                                     : '-';
            if (each != RecordOutcome::Accepted) kept.push_back(i);
        }
        EXPECT_EQ(seen, row.outcome);
        EXPECT_EQ(m_stored, recordsOf(bulk, kept, "quillmark-user"));
        // A batch that reached nobody is logged as such, and what it kept.
        if (!row.connected) {
            Lines expected = keptLine(3, 3, false);
            expected.insert(expected.begin(), "W/NDK: INVALID_SOCKET");
            EXPECT_EQ(qm_platform::capturedLogLines(), expected);
        }
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
