// How a collector answer decides which records of a batch go to local storage.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/host_capture.h"
#include "transport/httpSender.h"

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
        EXPECT_TRUE(HttpSender::_getHttpBody(record, text));
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

Lines repeated(const std::string& line, size_t count) { return Lines(count, "I/NDK: " + line); }

class AnswerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_sender.m_onStore = [this](const std::string& text, const std::string& channel) {
            m_stored.emplace_back(text, channel);
        };
        qm_platform::startLogCapture();
    }
    void TearDown() override { qm_platform::stopLogCapture(); }

    bool evaluate(const std::string& answer, const std::string& body, bool cut = false,
                  const std::string& channel = "quillmark-user") {
        m_stored.clear();
        qm_platform::startLogCapture();
        return m_sender.is_collector_message(answer, body, channel, cut);
    }

    HttpSender m_sender;
    std::vector<Stored> m_stored;
};

TEST_F(AnswerTest, NoAnswerStoresTheWholeBatchInOrder) {
    const Bulk bulk = makeBulk(3);
    EXPECT_TRUE(evaluate("", bulk.body, false, "Corvane"));
    EXPECT_EQ(m_stored, recordsOf(bulk, {0, 1, 2}, "Corvane"));
    EXPECT_EQ(qm_platform::capturedLogLines(), repeated("write !!", 3));
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

    EXPECT_TRUE(evaluate(answerWith(resultList), bulk.body, false, "channel-b"));
    EXPECT_EQ(m_stored, recordsOf(bulk, failing, "channel-b"));
    EXPECT_EQ(qm_platform::capturedLogLines(), repeated("write", failing.size()));
}

// Records without an entry were accepted unless the answer was cut before their results.
TEST_F(AnswerTest, ResultListOfAnotherLengthThanTheBatch) {
    const Bulk four = makeBulk(4);
    const std::string twoResults = answerWith(R"([{"isSuccessful":false},{"isSuccessful":true}])");

    EXPECT_TRUE(evaluate(twoResults, four.body));
    EXPECT_EQ(m_stored, recordsOf(four, {0}, "quillmark-user"));
    EXPECT_EQ(qm_platform::capturedLogLines(), repeated("write", 1));

    EXPECT_TRUE(evaluate(twoResults, four.body, true));
    EXPECT_EQ(m_stored, recordsOf(four, {0, 2, 3}, "quillmark-user"));
    EXPECT_EQ(qm_platform::capturedLogLines(), repeated("write", 3));

    EXPECT_TRUE(evaluate(answerWith("[]"), four.body));
    EXPECT_TRUE(m_stored.empty());
    EXPECT_TRUE(evaluate(answerWith("[]"), four.body, true));
    EXPECT_EQ(m_stored, recordsOf(four, {0, 1, 2, 3}, "quillmark-user"));

    const Bulk two = makeBulk(2);
    EXPECT_TRUE(evaluate(answerWith(R"([{"isSuccessful":true},{"isSuccessful":false},)"
                                    R"({"isSuccessful":false},{"isSuccessful":false}])"),
                         two.body));
    EXPECT_EQ(m_stored, recordsOf(two, {1}, "quillmark-user"));
    EXPECT_EQ(qm_platform::capturedLogLines(), repeated("write", 1));
}

TEST_F(AnswerTest, ResultLineIsFoundBelowStatusLineAndHeaders) {
    const Bulk bulk = makeBulk(3);
    const std::string json =
        answerWith(R"([{"isSuccessful":true},{"isSuccessful":false},{"isSuccessful":true}])");
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nX-Note: a \"header\" word\r\n\r\n";

    EXPECT_TRUE(evaluate(head + json, bulk.body));
    EXPECT_EQ(m_stored, recordsOf(bulk, {1}, "quillmark-user"));

    EXPECT_TRUE(evaluate(head + json + "\r\nsomething after\r\n", bulk.body));
    EXPECT_EQ(m_stored, recordsOf(bulk, {1}, "quillmark-user"));
    EXPECT_EQ(qm_platform::capturedLogLines(), repeated("write", 1));
}

// Only the line holding {"header" is read; the results it holds completely are applied.
TEST_F(AnswerTest, ResultSpreadOverLinesAppliesOnlyTheFirstLine) {
    const Bulk bulk = makeBulk(3);
    const std::string firstLine =
        R"({"header":{},"body":{"data":{"resultList":[{"isSuccessful":false})";
    const std::string rest = "\n,{\"isSuccessful\":false},{\"isSuccessful\":false}]}}}";

    EXPECT_TRUE(evaluate(firstLine + rest, bulk.body));
    EXPECT_EQ(m_stored, recordsOf(bulk, {0}, "quillmark-user"));
    EXPECT_EQ(qm_platform::capturedLogLines(), repeated("write", 1));

    // Read up to a cut: the records whose results were never read are kept.
    EXPECT_TRUE(evaluate(firstLine, bulk.body, true));
    EXPECT_EQ(m_stored, recordsOf(bulk, {0, 1, 2}, "quillmark-user"));
}

// A line that breaks inside the list must not turn the entry being read into a failure: the
// reader leaves an empty placeholder there, which is no result from the collector.
TEST_F(AnswerTest, ResultBrokenInsideAnEntryCountsOnlyCompleteEntries) {
    const Bulk bulk = makeBulk(3);
    const std::string start =
        R"({"header":{},"body":{"data":{"resultList":[{"isSuccessful":false},)";
    for (const std::string& firstLine : {start, start + R"({"isSucc)"}) {
        SCOPED_TRACE(firstLine);
        const std::string answer = firstLine + "\n{\"isSuccessful\":true}]}}}";
        EXPECT_TRUE(evaluate(answer, bulk.body));
        EXPECT_EQ(m_stored, recordsOf(bulk, {0}, "quillmark-user"));
        EXPECT_EQ(qm_platform::capturedLogLines(), repeated("write", 1));
    }
}

TEST_F(AnswerTest, AnswerWithoutResultLineStoresNothing) {
    const Bulk bulk = makeBulk(3);
    const std::vector<std::string> answers = {
        "OK",
        "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/html\r\n\r\n<html><body>502</body></html>",
        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
        std::string("\x01\xFF\x00{\"head", 8),
        R"({"Header":{},"body":{"data":{"resultList":[{"isSuccessful":false}]}}})",
        // The line is parsed from its start, which is not JSON.
        R"(data: {"header":{},"body":{"data":{"resultList":[{"isSuccessful":false}]}}})",
    };
    for (const std::string& answer : answers) {
        SCOPED_TRACE(answer);
        EXPECT_FALSE(evaluate(answer, bulk.body));
        EXPECT_TRUE(m_stored.empty());
        EXPECT_TRUE(qm_platform::capturedLogLines().empty());
    }
}

TEST_F(AnswerTest, JsonAnswerWithoutResultListStoresNothing) {
    const Bulk bulk = makeBulk(3);
    const std::vector<std::string> answers = {
        R"({"header":{"code":500,"message":"invalid project key"}})",
        R"({"header":{},"body":{}})",
        R"({"header":{},"body":"rejected"})",
        R"({"header":{},"body":{"data":{"resultList":{"isSuccessful":false}}}})",
        R"({"header":{},"body":{"data":{"resultList":null}}})",
    };
    for (const std::string& answer : answers) {
        SCOPED_TRACE(answer);
        EXPECT_TRUE(evaluate(answer, bulk.body));
        EXPECT_TRUE(m_stored.empty());
        EXPECT_TRUE(qm_platform::capturedLogLines().empty());
    }
    // Broken right after the marker: nothing to apply, and certainly nothing to store.
    evaluate(R"({"header")", bulk.body);
    EXPECT_TRUE(m_stored.empty());
}

TEST_F(AnswerTest, SentBodyThatIsNotAnArrayStoresNothing) {
    const std::string failing = answerWith(R"([{"isSuccessful":false}])");
    const std::vector<std::string> bodies = {"", "{\"body\":\"x\"}\n", "not json", "\"[]\""};
    for (const std::string& body : bodies) {
        for (const std::string& answer : {std::string(), failing}) {
            SCOPED_TRACE(body + " / " + answer);
            EXPECT_FALSE(evaluate(answer, body));
            EXPECT_TRUE(m_stored.empty());
            EXPECT_TRUE(qm_platform::capturedLogLines().empty());
        }
    }
}

}  // namespace
