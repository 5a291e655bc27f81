// The plain-HTTP transport against a scripted loopback server: what is read back from the
// collector, and which records of a batch end in local storage.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "platform/host_capture.h"
#include "support/raw_server.h"
#include "transport/httpSender.h"
#include "transport/plainHttp.h"

namespace {

using qm_test::RawServer;
using qm_test::ReplyStep;
using Stored = std::pair<std::string, std::string>;  // record text, channel
using Lines = std::vector<std::string>;

const char kHost[] = "127.0.0.1";
const char kRequest[] = "POST /v2/log HTTP/1.1\r\nHost: 127.0.0.1:1\r\nContent-Length: 2\r\n\r\n[]";

std::string okAnswer(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

long millisecondsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

TEST(PlainHttpExchangeTest, CompleteAnswerEndsTheReadWithoutWaitingForClose) {
    const std::string answer = okAnswer(R"({"header":{}})");
    // The server keeps the connection open after answering, as a keep-alive server would.
    RawServer server({ReplyStep::send(answer), ReplyStep::pause(3000)});
    const auto start = std::chrono::steady_clock::now();
    const plainHttp::Answer result = plainHttp::exchange(kHost, server.port(), kRequest);
    EXPECT_LT(millisecondsSince(start), 1500);

    EXPECT_TRUE(result.connected);
    EXPECT_TRUE(result.sentAll);
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.text, answer);
    EXPECT_FALSE(result.cut);
    server.finish();
    EXPECT_EQ(server.request(), kRequest);
}

TEST(PlainHttpExchangeTest, AnswerInSeveralSegmentsIsReadWhole) {
    const std::string body = R"({"header":{},"body":{"data":{"resultList":[]}}})";
    const std::string answer = okAnswer(body);
    const size_t headerEnd = answer.find("\r\n\r\n");
    RawServer server({ReplyStep::send(answer.substr(0, 9)), ReplyStep::pause(80),
                      ReplyStep::send(answer.substr(9, headerEnd + 2 - 9)), ReplyStep::pause(80),
                      ReplyStep::send(answer.substr(headerEnd + 2, 20)), ReplyStep::pause(80),
                      ReplyStep::send(answer.substr(headerEnd + 22)), ReplyStep::pause(3000)});
    const plainHttp::Answer result = plainHttp::exchange(kHost, server.port(), kRequest);
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.text, answer);
    EXPECT_FALSE(result.cut);
}

TEST(PlainHttpExchangeTest, AnswerWithoutLengthEndsWhenTheServerCloses) {
    const std::string answer = "HTTP/1.0 201 Created\r\nContent-Type: text/plain\r\n\r\nfirst";
    RawServer server({ReplyStep::send(answer), ReplyStep::pause(100), ReplyStep::send(" second"),
                      ReplyStep::close()});
    const plainHttp::Answer result = plainHttp::exchange(kHost, server.port(), kRequest);
    EXPECT_EQ(result.status, 201);
    EXPECT_EQ(result.text, answer + " second");
    EXPECT_FALSE(result.cut);
}

TEST(PlainHttpExchangeTest, OversizedAnswerIsCutAtTheLimit) {
    const size_t limit = HttpSender::kMaxAnswerBytes;
    const std::string headers = "HTTP/1.1 200 OK\r\nContent-Length: ";
    struct Case {
        std::string answer;
        bool cut;
    };
    const std::string big(100 * 1024, 'x');
    const std::string withoutLength = "HTTP/1.1 200 OK\r\n\r\n" + big;
    // Content-Length chosen so that status line, headers and body fill the limit exactly.
    std::string exact = headers + "00000\r\n\r\n";
    exact = headers + std::to_string(limit - exact.size()) + "\r\n\r\n";
    exact += std::string(limit - exact.size(), 'y');
    ASSERT_EQ(exact.size(), limit);

    for (const Case& c :
         {Case{okAnswer(big), true}, Case{withoutLength, true}, Case{exact, false}}) {
        SCOPED_TRACE(c.answer.substr(0, 40));
        RawServer server({ReplyStep::send(c.answer), ReplyStep::close()});
        const plainHttp::Answer result = plainHttp::exchange(kHost, server.port(), kRequest);
        EXPECT_EQ(result.status, 200);
        EXPECT_EQ(result.text.size(), limit);
        EXPECT_EQ(result.text, c.answer.substr(0, limit));
        EXPECT_EQ(result.cut, c.cut);
    }
}

TEST(PlainHttpExchangeTest, ResetOrCloseWithoutAnswerGivesEmptyText) {
    for (const ReplyStep& end : {ReplyStep::reset(), ReplyStep::close()}) {
        RawServer server({end});
        const plainHttp::Answer result = plainHttp::exchange(kHost, server.port(), kRequest);
        EXPECT_TRUE(result.connected);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.text, "");
        EXPECT_FALSE(result.cut);
        server.finish();
        EXPECT_EQ(server.request(), kRequest);
    }
}

TEST(PlainHttpExchangeTest, LargeRequestArrivesWhole) {
    const std::string body(3 * 1024 * 1024 + 7, 'b');
    const std::string request = "POST /v2/log HTTP/1.1\r\nHost: 127.0.0.1:1\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    RawServer server({ReplyStep::send(okAnswer("{}"))});
    const plainHttp::Answer result = plainHttp::exchange(kHost, server.port(), request);
    EXPECT_TRUE(result.sentAll);
    EXPECT_EQ(result.status, 200);
    server.finish();
    EXPECT_TRUE(server.request() == request)
        << "server got " << server.request().size() << " of " << request.size() << " bytes";
}

TEST(PlainHttpExchangeTest, NobodyListeningMeansNotConnected) {
    const plainHttp::Answer result =
        plainHttp::exchange(kHost, qm_test::unusedLoopbackPort(), kRequest);
    EXPECT_FALSE(result.connected);
    EXPECT_FALSE(result.sentAll);
    EXPECT_EQ(result.text, "");
}

// ---- through the sender: which records of a batch are kept ----

class PlainHttpSendTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_wasInitialized = HttpSender::m_initializeByThread.exchange(true);
        m_sender.m_onStore = [this](const std::string& text, const std::string& channel) {
            m_stored.emplace_back(text, channel);
        };
        m_body = "[";
        for (int i = 0; i < 3; ++i) {
            std::string text;
            ASSERT_TRUE(HttpSender::_getHttpBody({{"body", "record " + std::to_string(i)},
                                                  {"handlerName", "quillmark-user"},
                                                  {"logLevel", "WARN"},
                                                  {"qmkBulkIndex", std::to_string(i)}},
                                                 text));
            m_body += (i > 0 ? "," : "") + text;
            m_records.push_back(text);
        }
        m_body += "]";
        qm_platform::startLogCapture();
    }
    void TearDown() override {
        qm_platform::stopLogCapture();
        HttpSender::m_initializeByThread = m_wasInitialized;
    }

    std::string send(uint16_t port) {
        const std::string request = m_sender._getHttpHeader(kHost, port, m_body.size()) + m_body;
        m_sender._httpHandleRequest(kHost, port, request, "http", m_body, "channel-a");
        return request;
    }
    std::vector<Stored> records(const std::vector<size_t>& indices) const {
        std::vector<Stored> expected;
        for (size_t i : indices) expected.emplace_back(m_records.at(i), "channel-a");
        return expected;
    }
    static Lines lines(const std::string& line, size_t count) {
        return Lines(count, "I/NDK: " + line);
    }

    HttpSender m_sender;
    std::vector<Stored> m_stored;
    std::vector<std::string> m_records;
    std::string m_body;
    bool m_wasInitialized = false;
};

TEST_F(PlainHttpSendTest, ResultsSplitAcrossSegmentsStoreOnlyTheFailedRecord) {
    const std::string answer =
        okAnswer(R"({"header":{"code":200},"body":{"data":{"resultList":[{"isSuccessful":true},)"
                 R"({"isSuccessful":false},{"isSuccessful":true}]}}})");
    const size_t split = answer.find("{\"isSuccessful\":false");
    RawServer server({ReplyStep::send(answer.substr(0, split - 5)), ReplyStep::pause(100),
                      ReplyStep::send(answer.substr(split - 5, 12)), ReplyStep::pause(100),
                      ReplyStep::send(answer.substr(split + 7)), ReplyStep::pause(3000)});
    const std::string request = send(server.port());
    server.finish();

    EXPECT_EQ(server.request(), request);
    EXPECT_EQ(m_stored, records({1}));
    EXPECT_EQ(qm_platform::capturedLogLines(), lines("write", 1));
}

TEST_F(PlainHttpSendTest, RefusalStatusStoresTheWholeBatch) {
    const std::string allGood = R"({"header":{},"body":{"data":{"resultList":[)"
                                R"({"isSuccessful":true},{"isSuccessful":true},)"
                                R"({"isSuccessful":true}]}}})";
    for (const char* status : {"500 Internal Server Error", "503 Service Unavailable",
                               "408 Request Timeout", "429 Too Many Requests"}) {
        SCOPED_TRACE(status);
        m_stored.clear();
        qm_platform::startLogCapture();
        RawServer server({ReplyStep::send("HTTP/1.1 " + std::string(status) +
                                          "\r\nContent-Length: " + std::to_string(allGood.size()) +
                                          "\r\n\r\n" + allGood)});
        send(server.port());
        EXPECT_EQ(m_stored, records({0, 1, 2}));
        EXPECT_EQ(qm_platform::capturedLogLines(), lines("write !!", 3));
    }
}

TEST_F(PlainHttpSendTest, PeerThatResetsOrCannotBeReachedLeavesEverythingStored) {
    {
        RawServer server({ReplyStep::reset()});
        const std::string request = send(server.port());
        server.finish();
        EXPECT_EQ(server.request(), request);
        EXPECT_EQ(m_stored, records({0, 1, 2}));
        EXPECT_EQ(qm_platform::capturedLogLines(), lines("write !!", 3));
    }
    m_stored.clear();
    qm_platform::startLogCapture();
    send(qm_test::unusedLoopbackPort());
    Lines expected{"W/NDK: INVALID_SOCKET"};
    const Lines writes = lines("write !!", 3);
    expected.insert(expected.end(), writes.begin(), writes.end());
    EXPECT_EQ(m_stored, records({0, 1, 2}));
    EXPECT_EQ(qm_platform::capturedLogLines(), expected);
}

TEST_F(PlainHttpSendTest, CutAnswerStoresRecordsWhoseResultsWereNotRead) {
    const std::string pad(100 * 1024, 'p');
    RawServer server({ReplyStep::send(okAnswer(
                          R"({"header":{},"body":{"data":{"resultList":[{"isSuccessful":true},)"
                          R"({"isSuccessful":false},{"note":")" +
                          pad + R"(","isSuccessful":true}]}}})")),
                      ReplyStep::close()});
    send(server.port());
    EXPECT_EQ(m_stored, records({1, 2}));
    EXPECT_EQ(qm_platform::capturedLogLines(), lines("write", 2));
}

TEST_F(PlainHttpSendTest, NothingIsSentBeforeTheSendingThreadStarted) {
    HttpSender::m_initializeByThread = false;
    RawServer server({ReplyStep::send(okAnswer("{}"))});
    send(server.port());
    server.finish();
    EXPECT_FALSE(server.accepted());
    EXPECT_TRUE(m_stored.empty());
    EXPECT_EQ(qm_platform::capturedLogLines(),
              lines("[_handleRequest] m_initializeByThread false", 1));
}

}  // namespace
