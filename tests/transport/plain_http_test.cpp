// The plain-HTTP transport against scripted loopback servers and a real reverse proxy: how an
// answer is framed and read, how long an exchange (its name lookup included) may take, where the
// request goes for each form of address, and which records of a batch end in local storage.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/host_capture.h"
#include "support/ca_folder.h"
#include "support/child_process.h"
#include "support/collector_process.h"
#include "support/file_text.h"
#include "support/raw_server.h"
#include "support/temp_dir.h"
#include "transport/batchDelivery.h"
#include "transport/collectorTransports.h"
#include "transport/exchangeDeadline.h"
#include "transport/httpsTransport.h"
#include "transport/plainHttp.h"
#include "transport/recordStore.h"
#include "transport/recordWriter.h"
#include "transport/transport.h"
#include "util/collectorAddress.h"
#include "util/tlsTrust.h"

namespace {

// A JSON POST of body to the collector's "/v2/log".
CollectorRequest postOf(const CollectorAddress& address, const std::string& body) {
    CollectorRequest request;
    request.target = address;
    request.path = "/v2/log";
    request.body = &body;
    return request;
}

using qm_test::RawServer;
using qm_test::ReplyStep;
using Steps = std::vector<ReplyStep>;
using Stored = std::pair<std::string, std::string>;  // record text, channel
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

const char kHost[] = "127.0.0.1";
const char kHead[] = "POST /v2/log HTTP/1.1\r\nHost: 127.0.0.1:1\r\nContent-Length: 2\r\n\r\n";
const char kBody[] = "[]";

std::string okAnswer(const std::string& body, const std::string& status = "200 OK") {
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// One exchange on a transport of its own, so on a connection of its own.
plainHttp::Answer exchangeOnce(uint16_t port, const std::string& head, const std::string& body,
                               const ExchangeDeadline& deadline) {
    plainHttp::PlainHttpTransport transport;
    return transport.exchange(kHost, port, head, body, deadline);
}

long millisecondsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count());
}

// ---- framing: what is read back, whatever way the answer is delimited ----

struct FramingCase {
    const char* name;
    Steps script;
    long status = 0;  // 0: no complete answer
    std::string body = "";
    bool cut = false;
};

std::vector<FramingCase> framingCases() {
    const std::string json = R"({"header":{},"body":{"data":{"resultList":[]}}})";
    const std::string ok = okAnswer(json);
    const size_t headerEnd = ok.find("\r\n\r\n");
    const size_t limit = CollectorRequest::kMaxAnswerBytes;
    const std::string big(100 * 1024, 'x');
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const ReplyStep open = ReplyStep::pause(30000);
    return {
        {"content-length, connection left open", {ReplyStep::send(ok), open}, 200, json},
        {"content-length in segments",
         {ReplyStep::send(ok.substr(0, 9)), ReplyStep::pause(80),
          ReplyStep::send(ok.substr(9, headerEnd + 2 - 9)), ReplyStep::pause(80),
          ReplyStep::send(ok.substr(headerEnd + 2, 20)), ReplyStep::pause(80),
          ReplyStep::send(ok.substr(headerEnd + 22)), open},
         200,
         json},
        {"chunked in small chunks, keep-alive",
         qm_test::chunkedAnswer("HTTP/1.1 200 OK", json, 7, 20), 200, json},
        {"chunked with extension and trailer",
         {ReplyStep::send(chunked + "4;name=value\r\nabcd\r\n2\r\nef\r\n0\r\nX-Trailer: y\r\n\r\n"),
          open},
         200,
         "abcdef"},
        {"close-delimited",
         {ReplyStep::send("HTTP/1.0 201 Created\r\nContent-Type: text/plain\r\n\r\nfirst"),
          ReplyStep::pause(100), ReplyStep::send(" second"), ReplyStep::close()},
         201,
         "first second"},
        {"interim 100 before the answer",
         {ReplyStep::send("HTTP/1.1 100 Continue\r\n\r\n"), ReplyStep::pause(50),
          ReplyStep::send(okAnswer("ok")), open},
         200,
         "ok"},
        {"204 without body, left open",
         {ReplyStep::send("HTTP/1.1 204 No Content\r\n\r\n"), open},
         204},
        {"404 page",
         {ReplyStep::send(okAnswer("<html>gone</html>", "404 Not Found"))},
         404,
         "<html>gone</html>"},
        {"content-length cut short by close",
         {ReplyStep::send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"header\""),
          ReplyStep::close()}},
        {"chunked cut short by reset",
         {ReplyStep::send(chunked + "10\r\nabc"), ReplyStep::reset()}},
        {"chunked without its last chunk, closed",
         {ReplyStep::send(chunked + "3\r\nabc\r\n"), ReplyStep::close()}},
        {"bad chunk size", {ReplyStep::send(chunked + "zz\r\nabc\r\n"), open}},
        {"no status line", {ReplyStep::send("hello\r\n\r\n{\"header\":{}}"), ReplyStep::close()}},
        {"headers never end", {ReplyStep::send("HTTP/1.1 200 OK\r\nX: y\r\n"), ReplyStep::close()}},
        {"closed without answer", {ReplyStep::close()}},
        {"reset without answer", {ReplyStep::reset()}},
        {"oversized with content-length",
         {ReplyStep::send(okAnswer(big)), ReplyStep::close()},
         200,
         big.substr(0, limit),
         true},
        {"oversized in chunks", qm_test::chunkedAnswer("HTTP/1.1 200 OK", big, 4096, 0), 200,
         big.substr(0, limit), true},
        {"oversized close-delimited",
         {ReplyStep::send("HTTP/1.1 200 OK\r\n\r\n" + big), ReplyStep::close()},
         200,
         big.substr(0, limit),
         true},
        {"exactly at the limit",
         {ReplyStep::send(okAnswer(std::string(limit, 'y')))},
         200,
         std::string(limit, 'y')},
    };
}

TEST(PlainHttpExchangeTest, AnswersAreReadAsTheirFramingSays) {
    for (const FramingCase& c : framingCases()) {
        SCOPED_TRACE(c.name);
        RawServer server(c.script);
        const auto start = std::chrono::steady_clock::now();
        const plainHttp::Answer answer =
            exchangeOnce(server.port(), kHead, kBody, ExchangeDeadline(milliseconds(10000)));
        // Every script either ends its answer or its connection well before the deadline, or
        // keeps the connection open for longer: the framing alone must end the read.
        EXPECT_LT(millisecondsSince(start), 5000);
        EXPECT_TRUE(answer.connected);
        EXPECT_TRUE(answer.sent);
        EXPECT_EQ(answer.complete, c.status != 0);
        EXPECT_EQ(answer.status, c.status);
        if (c.status != 0) {
            EXPECT_EQ(answer.body, c.body);
        }
        EXPECT_EQ(answer.cut, c.cut);
        server.finish();
        EXPECT_EQ(server.request(), std::string(kHead) + kBody);
    }
}

// ---- keep-alive: a connection is kept only while its answers leave it fit for the next ----

struct KeepAliveCase {
    const char* name;
    std::vector<qm_test::ConnectionScript> connections;
    // One letter per exchange: 'N' complete on a new connection, 'R' complete on a kept one,
    // '-' no complete answer.
    std::string exchanges;
    size_t accepted;
    milliseconds deadline{5000};
    milliseconds idleBetween{0};
    milliseconds maxIdle{CollectorTransport::kMaxIdle};
};

std::vector<KeepAliveCase> keepAliveCases() {
    using C = qm_test::ConnectionScript;
    const std::string ok = okAnswer("{}");
    const std::string okClose =
        "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\n{}";
    const std::string http10 = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n{}";
    const std::string http10KeepAlive =
        "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\n{}";
    const Steps answer{ReplyStep::send(ok)};
    return {
        {"three batches over one connection", {C{{answer, answer, answer}}}, "NRR", 1},
        {"an error status still leaves the connection fit",
         {C{{{ReplyStep::send(okAnswer("{}", "503 Service Unavailable"))}, answer}}},
         "NR",
         1},
        {"HTTP/1.0 with keep-alive", {C{{{ReplyStep::send(http10KeepAlive)}, answer}}}, "NR", 1},
        {"collector closing after each answer",
         {C{{{ReplyStep::send(okClose), ReplyStep::close()}}},
          C{{{ReplyStep::send(okClose), ReplyStep::close()}}},
          C{{{ReplyStep::send(okClose), ReplyStep::close()}}}},
         "NNN",
         3},
        {"Connection: close honoured though the peer leaves it open",
         {C{{{ReplyStep::send(okClose)}, answer}}, C{{answer}}},
         "NN",
         2},
        {"HTTP/1.0 without keep-alive",
         {C{{{ReplyStep::send(http10)}, answer}}, C{{answer}}},
         "NN",
         2},
        {"answer framed by the end of the connection",
         {C{{{ReplyStep::send("HTTP/1.1 200 OK\r\n\r\n{}"), ReplyStep::close()}}}, C{{answer}}},
         "NN",
         2},
        {"bytes nobody asked for after the answer",
         {C{{{ReplyStep::send(ok + "HTTP/1.1 200 OK\r\n")}, answer}}, C{{answer}}},
         "NN",
         2},
        {"cut answer",
         {C{{{ReplyStep::send(okAnswer(std::string(100 * 1024, 'x')))}, answer}}, C{{answer}}},
         "NN",
         2},
        {"deadline passes mid-answer",
         {C{{{ReplyStep::send(ok.substr(0, 20)), ReplyStep::pause(30000)}, answer}}, C{{answer}}},
         "-N",
         2,
         milliseconds(300)},
        {"peer closes the kept connection after its answer", {C{{answer}}, C{{answer}}}, "NN", 2},
        {"peer drops the next request unread: sent again on a new connection",
         {C{{answer, {ReplyStep::dropRequest()}}}, C{{answer}}},
         "NN",
         2},
        {"idle longer than a connection is kept",
         {C{{answer, answer}}, C{{answer}}},
         "NN",
         2,
         milliseconds(5000),
         milliseconds(300),
         milliseconds(100)},
    };
}

TEST(PlainHttpExchangeTest, ConnectionIsKeptOnlyWhileItsAnswersLeaveItFit) {
    for (const KeepAliveCase& c : keepAliveCases()) {
        SCOPED_TRACE(c.name);
        RawServer server(c.connections);
        plainHttp::PlainHttpTransport transport(c.maxIdle);
        std::string seen;
        for (size_t i = 0; i < c.exchanges.size(); ++i) {
            if (i > 0) std::this_thread::sleep_for(c.idleBetween);
            const plainHttp::Answer answer = transport.exchange(kHost, server.port(), kHead, kBody,
                                                                ExchangeDeadline(c.deadline));
            seen += !answer.complete ? '-' : answer.reused ? 'R' : 'N';
        }
        EXPECT_EQ(seen, c.exchanges);
        server.finish();
        EXPECT_EQ(server.acceptedConnections(), c.accepted);
        // Every exchange reached the server once, a retried one included.
        EXPECT_EQ(server.requests(),
                  std::vector<std::string>(c.exchanges.size(), std::string(kHead) + kBody));
    }
}

TEST(PlainHttpExchangeTest, AnotherAddressGetsItsOwnConnection) {
    using C = qm_test::ConnectionScript;
    const Steps answer{ReplyStep::send(okAnswer("{}"))};
    // Both would keep a connection open for a second request.
    RawServer first({C{{answer, answer}}, C{{answer}}});
    RawServer second({C{{answer, answer}}});
    plainHttp::PlainHttpTransport transport;
    std::string seen;
    for (RawServer* server : {&first, &second, &first}) {
        const plainHttp::Answer got = transport.exchange(kHost, server->port(), kHead, kBody,
                                                         ExchangeDeadline(milliseconds(5000)));
        seen += !got.complete ? '-' : got.reused ? 'R' : 'N';
    }
    EXPECT_EQ(seen, "NNN");
    first.finish();
    second.finish();
    EXPECT_EQ(first.acceptedConnections(), 2u);
    EXPECT_EQ(first.requests().size(), 2u);
    EXPECT_EQ(second.acceptedConnections(), 1u);
    EXPECT_EQ(second.requests().size(), 1u);
}

// ---- name lookups: bounded by the deadline, one at a time, their answer kept ----

const char kName[] = "collector.quillmark.test";

// Answers kName with the loopback address and counts its calls. While held it answers nothing,
// as a resolver behind a network that drops its queries; the state is shared with the lookup
// threads, which may outlive the test's transport.
class ScriptedResolver {
public:
    explicit ScriptedResolver(bool held) : m_state(std::make_shared<State>()) {
        m_state->held = held;
    }
    ~ScriptedResolver() { release(); }

    plainHttp::NameResolver resolver() const {
        return [state = m_state](const std::string& host, uint16_t port) {
            std::unique_lock<std::mutex> lock(state->mutex);
            ++state->calls;
            state->changed.wait(lock, [&] { return !state->held; });
            ++state->returned;
            state->changed.notify_all();
            return host == kName ? plainHttp::systemResolve(kHost, port) : plainHttp::Endpoints();
        };
    }
    void release() {
        std::unique_lock<std::mutex> lock(m_state->mutex);
        m_state->held = false;
        m_state->changed.notify_all();
        m_state->changed.wait_for(lock, std::chrono::seconds(10),
                                  [&] { return m_state->returned == m_state->calls; });
    }
    int calls() const {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        return m_state->calls;
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool held = false;
        int calls = 0;
        int returned = 0;
    };
    std::shared_ptr<State> m_state;
};

TEST(PlainHttpExchangeTest, NameLookupEndsByTheDeadlineRunsOnceAndIsKeptForReconnects) {
    using C = qm_test::ConnectionScript;
    struct Case {
        const char* name;
        std::vector<C> connections;
        // One letter per exchange: 'L' no answer to the name lookup in time, 'X' not connected
        // otherwise, 'N' complete on a new connection, 'R' complete on a kept one.
        std::string exchanges;
        int heldFor;  // exchanges during which the resolver does not answer
        int calls;
        milliseconds deadline{300};
        milliseconds cutOffIn{0};  // zero: no process-wide cut-off
        bool nobodyListens = false;
    };
    const Steps answerThenClose{ReplyStep::send(okAnswer("{}")), ReplyStep::close()};
    const std::vector<Case> cases = {
        {"resolver never answers: one lookup for both exchanges", {}, "LL", 2, 1},
        {"resolver never answers, cut off by a shutdown",
         {},
         "L",
         1,
         1,
         milliseconds(30000),
         milliseconds(300)},
        {"an answer that came late serves the next exchange", {C{{answerThenClose}}}, "LN", 1, 1},
        {"the address is reused for every reconnect",
         {C{{answerThenClose}}, C{{answerThenClose}}, C{{answerThenClose}}},
         "NNN",
         0,
         1,
         milliseconds(5000)},
        {"no connect to the address: it is looked up again",
         {},
         "XX",
         0,
         2,
         milliseconds(5000),
         milliseconds(0),
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedResolver resolver(c.heldFor > 0);
        RawServer server(c.connections);
        const uint16_t port = c.nobodyListens ? qm_test::unusedLoopbackPort() : server.port();
        plainHttp::PlainHttpTransport transport(CollectorTransport::kMaxIdle, resolver.resolver());
        std::string seen;
        for (int i = 0; i < static_cast<int>(c.exchanges.size()); ++i) {
            if (i == c.heldFor) resolver.release();
            const auto start = std::chrono::steady_clock::now();
            if (c.cutOffIn.count() > 0) ExchangeDeadline::cutOffAt(start + c.cutOffIn);
            const plainHttp::Answer answer =
                transport.exchange(kName, port, kHead, kBody, ExchangeDeadline(c.deadline));
            ExchangeDeadline::clearCutOff();
            // The held resolver would never answer: only the deadline ended these.
            EXPECT_LT(millisecondsSince(start), 3000);
            const bool lookupTimedOut = answer.failure.find("name lookup") != std::string::npos;
            seen += lookupTimedOut      ? 'L'
                    : !answer.connected ? 'X'
                    : !answer.complete  ? '-'
                    : answer.reused     ? 'R'
                                        : 'N';
        }
        EXPECT_EQ(seen, c.exchanges);
        EXPECT_EQ(resolver.calls(), c.calls);
        server.finish();
        EXPECT_EQ(server.acceptedConnections(), c.connections.size());
    }
}

// ---- the deadline: a trickling or stalled peer holds the exchange no longer than it allows ----

TEST(PlainHttpExchangeTest, TricklingOrStalledPeerEndsAtTheDeadlineWithoutAnAnswer) {
    struct Case {
        const char* name;
        Steps script;
        milliseconds own;
        milliseconds cutOffIn;  // zero: no process-wide cut-off
        long expectedMs;
    };
    const std::string ok = okAnswer("{}");
    const std::vector<Case> cases = {
        {"one byte per second", qm_test::trickle(ok, 1000), milliseconds(1500), milliseconds(0),
         1500},
        {"stalled, cut off by a shutdown",
         {ReplyStep::pause(30000)},
         milliseconds(30000),
         milliseconds(400),
         400},
        {"trickling, cut off by a shutdown", qm_test::trickle(ok, 100), milliseconds(30000),
         milliseconds(700), 700},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawServer server(c.script);
        const auto start = std::chrono::steady_clock::now();
        if (c.cutOffIn.count() > 0) ExchangeDeadline::cutOffAt(start + c.cutOffIn);
        const plainHttp::Answer answer =
            exchangeOnce(server.port(), kHead, kBody, ExchangeDeadline(c.own));
        const long elapsed = millisecondsSince(start);
        ExchangeDeadline::clearCutOff();
        EXPECT_TRUE(answer.connected);
        EXPECT_FALSE(answer.complete);
        EXPECT_EQ(answer.status, 0);
        EXPECT_GE(elapsed, c.expectedMs - 50);
        EXPECT_LT(elapsed, c.expectedMs + 1000);
    }
}

TEST(PlainHttpExchangeTest, LargeRequestArrivesWholeAndNobodyListeningMeansNotConnected) {
    const std::string body(3 * 1024 * 1024 + 7, 'b');
    const std::string head = "POST /v2/log HTTP/1.1\r\nHost: 127.0.0.1:1\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n";
    RawServer server({ReplyStep::send(okAnswer("{}"))});
    const plainHttp::Answer answer =
        exchangeOnce(server.port(), head, body, ExchangeDeadline(kExchangeTimeout));
    EXPECT_TRUE(answer.sent);
    EXPECT_TRUE(answer.complete);
    server.finish();
    EXPECT_TRUE(server.request() == head + body)
        << "server got " << server.request().size() << " of " << head.size() + body.size();

    const plainHttp::Answer none = exchangeOnce(qm_test::unusedLoopbackPort(), kHead, kBody,
                                                ExchangeDeadline(kExchangeTimeout));
    EXPECT_FALSE(none.connected);
    EXPECT_FALSE(none.sent);
    EXPECT_FALSE(none.complete);
}

// ---- HTTPS: one libcurl handle per transport, its connection and TLS session reused ----

TEST(HttpsTransportTest, LaterExchangesReuseTheConnectionWhateverTheTlsChecks) {
    qm_test::CollectorOptions options;
    options.https = true;
    qm_test::CollectorProcess collector(options);
    const std::optional<CollectorAddress> address =
        parseCollectorAddress(collector.address(), collector.port());
    ASSERT_TRUE(address);
    const std::string body = "[{\"body\":\"over tls\"}\n]";
    for (const bool verifyTls : {true, false}) {
        SCOPED_TRACE(verifyTls ? "certificate checked against the pin" : "no checks");
        HttpsTransport transport(verifyTls);
        std::string seen;
        for (int i = 0; i < 3; ++i) {
            const CollectorAnswer answer =
                transport.exchange(postOf(*address, body), ExchangeDeadline(kExchangeTimeout));
            EXPECT_EQ(answer.status, 200);
            EXPECT_NE(answer.body.find("\"isSuccessful\":true"), std::string::npos) << answer.body;
            seen += !answer.complete ? '-' : answer.reused ? 'R' : 'N';
        }
        EXPECT_EQ(seen, "NRR");
    }
    // A body past libcurl's threshold for "Expect: 100-continue" (1 MiB) goes without that
    // extra round trip.
    const std::string big = "[{\"body\":\"" + std::string(1100 * 1024, 'x') + "\"}\n]";
    EXPECT_TRUE(HttpsTransport(true)
                    .exchange(postOf(*address, big), ExchangeDeadline(kExchangeTimeout))
                    .complete);
    const std::vector<Json::Value> requests = collector.requests();
    ASSERT_EQ(requests.size(), 7u);
    for (const Json::Value& request : requests) {
        EXPECT_EQ("application/json", request["headers"]["Content-Type"].asString());
        EXPECT_FALSE(request["headers"].isMember("Expect"));
    }
    EXPECT_EQ(collector.records().size(), 7u);
}

// A CA folder is read whatever its files' names: Android names them by the old subject hash,
// which OpenSSL's own lookup in a folder never finds. Of a folder list the first that holds a
// certificate is trusted. A file that is no regular file of its own, too big, or without a
// sound certificate block is passed over, and an exchange without a trusted certificate fails
// at once, in a child so that a read blocked on a FIFO would show as a time-out.
TEST(HttpsTransportTest, TrustsTheCertificatesOfACaFolderWhateverTheirNames) {
    qm_test::CollectorOptions options;
    options.https = true;
    options.pinCertificate = false;
    const qm_test::CollectorProcess collector(options);
    const qm_test::CollectorProcess stranger(options);
    const std::string pemFile = collector.certificateFile();
    const std::string android = qm_test::androidCaText(pemFile);
    const std::string oldName = qm_test::hashedCaName(pemFile, true);
    const std::string newName = qm_test::hashedCaName(pemFile, false);
    ASSERT_NE(oldName, newName);
    const std::string strangerText = qm_test::androidCaText(stranger.certificateFile());
    const std::string strangerName = qm_test::hashedCaName(stranger.certificateFile(), true);
    const std::string endLine = "-----END CERTIFICATE-----\n";
    const std::string pem = android.substr(0, android.find(endLine) + endLine.size());
    const std::string textOnly = android.substr(pem.size());
    // Clean Base64 (whole lines of 64 letters) of the certificate's first bytes.
    const std::string cutShort = pem.substr(0, pem.find('\n') + 1 + 5 * 65) + endLine;
    const qm_test::TempDir elsewhere;
    qm_test::writeFileText(elsewhere.file("ca.pem"), pem);

    using Files = std::vector<std::pair<std::string, std::string>>;  // name, text
    const std::string kLink = "->";
    const std::string kFifo = "|";
    const std::string kFolder = "/";
    struct Row {
        const char* name;
        std::vector<Files> folders;  // each a folder of the list, in its order
        bool trusted;
    };
    const Files passedOver = {
        {"link.0", kLink},     {"fifo.0", kFifo},
        {"folder.0", kFolder}, {"big.0", android + std::string(64 * 1024, 'x')},
        {"text.0", textOnly},  {"cut.0", cutShort}};
    Files amongThem = passedOver;
    amongThem.emplace_back(oldName, android);
    const std::vector<Row> rows = {
        {"named by the old hash, as on Android", {{{oldName, android}}}, true},
        {"named by the new hash", {{{newName, android}}}, true},
        {"among files passed over", {amongThem}, true},
        {"several certificates in one file", {{{"both.pem", strangerText + android}}}, true},
        {"the first folder holds none", {{}, passedOver, {{oldName, android}}}, true},
        {"the first folder holds another",
         {{{strangerName, strangerText}}, {{oldName, android}}},
         false},
        {"empty folder", {{}}, false},
        {"a link to the certificate", {{{newName, kLink}}}, false},
        {"a FIFO", {{{newName, kFifo}}}, false},
        {"a file too big", {{{newName, android + std::string(64 * 1024, 'x')}}}, false},
        {"text without the certificate", {{{newName, textOnly}}}, false},
        {"a certificate cut short", {{{newName, cutShort}}}, false},
    };
    const std::optional<CollectorAddress> address =
        parseCollectorAddress(collector.address(), collector.port());
    ASSERT_TRUE(address);
    const std::string body = "[{\"body\":\"trusted\"}\n]";
    size_t delivered = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::deque<qm_test::TempDir> folders;
        std::string list = "/nonexistent/quillmark-ca";
        for (const Files& files : row.folders) {
            const qm_test::TempDir& folder = folders.emplace_back("qm_ca");
            list += ":" + folder.path();
            for (const auto& [name, text] : files) {
                const std::string path = folder.file(name);
                if (text == kLink) {
                    ASSERT_EQ(0, ::symlink(elsewhere.file("ca.pem").c_str(), path.c_str()));
                } else if (text == kFifo) {
                    ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
                } else if (text == kFolder) {
                    ASSERT_EQ(0, ::mkdir(path.c_str(), 0700));
                } else {
                    qm_test::writeFileText(path, text);
                }
            }
        }
        const int outcome = qm_test::runInChild(
            [&] {
                TlsTrust trust;
                trust.caPath = list.c_str();
                replaceTlsTrust(&trust);
                HttpsTransport transport(true);
                CollectorAnswer answer =
                    transport.exchange(postOf(*address, body), ExchangeDeadline(kExchangeTimeout));
                if (answer.complete && row.trusted) {
                    // The bundle was made once: the folder is not read again for a connection
                    // of another transport.
                    folders.clear();
                    answer = HttpsTransport(true).exchange(postOf(*address, body),
                                                           ExchangeDeadline(kExchangeTimeout));
                }
                replaceTlsTrust(nullptr);
                if (answer.complete) return answer.status == 200 ? 1 : 3;
                return answer.failure.empty() || answer.connected ? 4 : 2;
            },
            30000);
        EXPECT_EQ(row.trusted ? 1 : 2, outcome);
        if (row.trusted) delivered += 2;
    }
    EXPECT_EQ(collector.records().size(), delivered);
}

// ---- through the sender: where the request goes and which records of a batch are kept ----

class PlainHttpSendTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_store.setKeepObserver([this](const std::string& text, const std::string& channel) {
            m_stored.emplace_back(text, channel);
        });
        for (int i = 0; i < 3; ++i) {
            std::string text;
            ASSERT_TRUE(writeRecordObject({{"body", "record " + std::to_string(i)},
                                           {"handlerName", "quillmark-user"},
                                           {"logLevel", "WARN"},
                                           {"qmkBulkIndex", std::to_string(i)}},
                                          text));
            m_batch.add(text);
            m_records.push_back(text);
        }
        m_body = m_batch.body();
        qm_platform::startLogCapture();
    }
    void TearDown() override {
        qm_platform::stopLogCapture();
        ExchangeDeadline::clearCutOff();
    }

    void send(const std::string& address, uint16_t port) {
        m_stored.clear();
        const DeliveryOutcome outcome = deliverBatch(m_transport, address, port, m_batch);
        ASSERT_EQ(outcome.records.size(), m_records.size());
        m_store.keepUndelivered(m_batch, outcome, "channel-a");
    }
    void send(uint16_t port) { send(std::string("http://") + kHost, port); }
    std::vector<Stored> records(const std::vector<size_t>& indices) const {
        std::vector<Stored> expected;
        for (size_t i : indices) expected.emplace_back(m_records.at(i), "channel-a");
        return expected;
    }

    std::atomic<bool> m_verifyTls{false};
    SchemeTransport m_transport{m_verifyTls};
    ChannelRegistry m_registry;
    RecordStore m_store{m_registry};
    std::vector<Stored> m_stored;
    std::vector<std::string> m_records;
    Batch m_batch;
    std::string m_body;
};

const std::string kAllTaken = R"({"header":{},"body":{"data":{"resultList":[)"
                              R"({"isSuccessful":true},{"isSuccessful":true},)"
                              R"({"isSuccessful":true}]}}})";

// Over HTTPS the answer, read by libcurl, decides as the answer table says (answer_test), and
// one over the read limit keeps the batch; a collector whose certificate is not pinned is
// refused when certificates are checked.
TEST_F(PlainHttpSendTest, HttpsAnswerDecidesAsAPlainOne) {
    struct Case {
        const char* name;
        const char* mode;
        std::vector<std::string> extraArgs;
        bool pinned;
        std::vector<size_t> stored;
    };
    const std::vector<Case> cases = {
        {"one refused", "ok", {"--fail-body", "record 1"}, true, {1}},
        {"answer over the read limit", "big", {}, true, {0, 1, 2}},
        {"certificate not pinned", "ok", {}, false, {0, 1, 2}},
    };
    m_verifyTls = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qm_test::CollectorOptions options;
        options.https = true;
        options.mode = c.mode;
        options.extraArgs = c.extraArgs;
        options.pinCertificate = c.pinned;
        qm_test::CollectorProcess collector(options);
        // Gone before the collector, with the connection it keeps: the collector would wait
        // for it at its end.
        SchemeTransport transport(m_verifyTls);
        m_stored.clear();
        m_store.keepUndelivered(
            m_batch, deliverBatch(transport, collector.address(), collector.port(), m_batch),
            "channel-a");
        EXPECT_EQ(m_stored, records(c.stored));
        EXPECT_EQ(collector.records().size(), c.pinned ? 3u : 0u);
    }
}

// The sender keeps its connection from batch to batch, and each batch reaches the collector
// once. A connection the collector ends is the keep-alive table's: the transport sends again on
// a new one, once.
TEST_F(PlainHttpSendTest, BatchesShareAConnectionAndEachArrivesOnce) {
    const Steps taken{ReplyStep::send(okAnswer(kAllTaken))};
    RawServer server({qm_test::ConnectionScript{{taken, taken, taken}}});
    for (int i = 0; i < 3; ++i) {
        send(server.port());
        EXPECT_TRUE(m_stored.empty()) << "batch " << i;
    }
    server.finish();
    EXPECT_EQ(server.acceptedConnections(), 1u);
    const std::vector<std::string> requests = server.requests();
    EXPECT_EQ(requests.size(), 3u);
    for (const std::string& request : requests) {
        EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4), m_body);
    }
}

// A shutdown pulls the cut-off in: an HTTPS exchange in progress ends by then and keeps the
// whole batch (a plain one is the deadline table's, above). HTTPS sees it through libcurl's
// progress callback, which a stalled transfer calls about once a second.
TEST_F(PlainHttpSendTest, StalledOrTricklingCollectorHoldsTheSenderOnlyUntilTheCutOff) {
    const milliseconds cutOff(1500);
    auto sendUntilCutOff = [&](const std::string& address, uint16_t port, long slackMs) {
        const auto start = std::chrono::steady_clock::now();
        ExchangeDeadline::cutOffAt(start + cutOff);
        send(address, port);
        const long elapsed = millisecondsSince(start);
        EXPECT_GE(elapsed, cutOff.count() - 50);
        EXPECT_LT(elapsed, cutOff.count() + slackMs);
        EXPECT_EQ(m_stored, records({0, 1, 2}));
        ExchangeDeadline::clearCutOff();
    };
    {
        SCOPED_TRACE("https to a peer that never speaks TLS");
        RawServer server({ReplyStep::pause(30000)});
        sendUntilCutOff("https://127.0.0.1", server.port(), 1500);
    }
    {
        SCOPED_TRACE("https, answer held back");
        qm_test::CollectorOptions options;
        options.https = true;
        options.extraArgs = {"--delay-ms", "30000"};
        qm_test::CollectorProcess collector(options);
        sendUntilCutOff(collector.address(), collector.port(), 1500);
    }
    // Once the cut-off has passed, nothing more is sent: the batch is kept as it is.
    ExchangeDeadline::cutOffAt(std::chrono::steady_clock::now());
    RawServer idle({ReplyStep::send(okAnswer(kAllTaken))});
    send(idle.port());
    idle.finish();
    EXPECT_FALSE(idle.accepted());
    EXPECT_EQ(m_stored, records({0, 1, 2}));
}

// How each form of address is read is the address table's (request_test); here the sender
// connects where it says: the port it names or the port argument, its path, IPv6.
TEST_F(PlainHttpSendTest, EachAddressFormReachesItsHostPortAndPath) {
    struct Case {
        std::string address;    // "{port}" stands for the server's port
        uint16_t portArgument;  // 0: the server's port
        RawServer::Family family;
        std::string requestLine;
        std::string host;  // "{port}" as above
    };
    const auto v4 = RawServer::Family::Ipv4;
    const std::vector<Case> cases = {
        {"Http://127.0.0.1:{port}/collector/", 1, v4, "POST /collector/v2/log HTTP/1.1",
         "127.0.0.1:{port}"},
        {"http://127.0.0.1/a/b", 0, v4, "POST /a/b/v2/log HTTP/1.1", "127.0.0.1:{port}"},
        {"http://[::1]:{port}", 1, RawServer::Family::Ipv6, "POST /v2/log HTTP/1.1",
         "[::1]:{port}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        RawServer server({ReplyStep::send(okAnswer(kAllTaken))}, c.family);
        auto withPort = [&server](std::string text) {
            const size_t at = text.find("{port}");
            if (at != std::string::npos) text.replace(at, 6, std::to_string(server.port()));
            return text;
        };
        send(withPort(c.address), c.portArgument != 0 ? c.portArgument : server.port());
        server.finish();
        const std::string request = server.request();
        EXPECT_EQ(request.substr(0, request.find("\r\n")), c.requestLine);
        EXPECT_NE(request.find("\r\nHost: " + withPort(c.host) + "\r\n"), std::string::npos)
            << request.substr(0, 200);
        EXPECT_TRUE(m_stored.empty());
    }
}

// An address the reader refuses, nobody listening and a name that does not resolve each keep
// the batch, with one warning of their own before the store's line.
TEST_F(PlainHttpSendTest, UnusableAddressOrCollectorLeavesEverythingStored) {
    const std::string refused = "W/NDK: [postToCollector] invalid collector address : ";
    const std::string unreachable = "W/NDK: INVALID_SOCKET";
    const std::vector<std::pair<std::string, std::string>> cases = {
        // address, warning
        {"http//127.0.0.1", refused + "http//127.0.0.1"},
        {"http://127.0.0.1:1/?q", refused + "http://127.0.0.1:1/?q"},
        {"gopher://h", refused + "gopher://h"},
        {"http://127.0.0.1:" + std::to_string(qm_test::unusedLoopbackPort()), unreachable},
        {"http://host.quillmark.invalid", unreachable},
    };
    for (const auto& [address, warning] : cases) {
        SCOPED_TRACE(address);
        qm_platform::startLogCapture();
        send(address, 80);
        EXPECT_EQ(m_stored, records({0, 1, 2}));
        EXPECT_EQ(qm_platform::capturedLogLines(),
                  (Lines{warning, "W/NDK: " + RecordStore::undeliveredLine(3, 3, false)}));
    }
}

// ---- a real reverse proxy we did not write, in front of the loopback collector ----

const char* nginxPath() {
    for (const char* path : {"/usr/sbin/nginx", "/usr/bin/nginx"}) {
        if (::access(path, X_OK) == 0) return path;
    }
    return nullptr;
}

// True once something accepts connections on the loopback port.
bool listening(uint16_t port, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        const plainHttp::Answer probe =
            exchangeOnce(port, "", "", ExchangeDeadline(milliseconds(200)));
        if (probe.connected) return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

// nginx as a child process with a configuration of its own. "/" passes the collector's answer
// on with its Content-Length; "/chunked/" runs it through the SSI filter, which drops the length,
// so nginx answers in chunks. Both keep the connection open afterwards (keep-alive).
class NginxProxy {
public:
    NginxProxy(const char* nginx, uint16_t upstreamPort) : m_dir("qm_nginx") {
        m_port = qm_test::unusedLoopbackPort();
        const std::string up = "http://127.0.0.1:" + std::to_string(upstreamPort);
        std::ofstream(m_dir.file("nginx.conf"))
            << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
            << "pid " << m_dir.file("nginx.pid") << ";\n"
            << "error_log " << m_dir.file("error.log") << " warn;\n"
            << "events { worker_connections 16; }\n"
            << "http {\n  access_log off;\n  client_max_body_size 16m;\n"
            << "  client_body_temp_path " << m_dir.file("body") << ";\n"
            << "  proxy_temp_path " << m_dir.file("proxy") << ";\n"
            << "  fastcgi_temp_path " << m_dir.file("fastcgi") << ";\n"
            << "  uwsgi_temp_path " << m_dir.file("uwsgi") << ";\n"
            << "  scgi_temp_path " << m_dir.file("scgi") << ";\n"
            << "  server {\n    listen 127.0.0.1:" << m_port << ";\n"
            << "    location / { proxy_pass " << up << "; }\n"
            << "    location /chunked/ { proxy_pass " << up << "/; ssi on; ssi_types *; }\n"
            << "  }\n}\n";
        const std::string config = m_dir.file("nginx.conf");
        const std::string errorLog = m_dir.file("error.log");
        const pid_t parent = ::getpid();
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() == parent) {
                ::execl(nginx, nginx, "-p", m_dir.path().c_str(), "-c", config.c_str(), "-e",
                        errorLog.c_str(), static_cast<char*>(nullptr));
            }
            ::_exit(127);
        }
    }
    ~NginxProxy() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    NginxProxy(const NginxProxy&) = delete;
    NginxProxy& operator=(const NginxProxy&) = delete;

    bool ready() const { return m_pid > 0 && listening(m_port, 5000); }
    uint16_t port() const { return m_port; }
    std::string errorLog() const { return qm_test::readFileText(m_dir.file("error.log")); }

private:
    qm_test::TempDir m_dir;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
};

// The first bytes of nginx's answer to one batch, as they came over the wire.
std::string rawAnswerStart(uint16_t port, const std::string& path, const std::string& body) {
    const std::string head = "POST " + path +
                             " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                             "Content-Type: application/json\r\nContent-Length: " +
                             std::to_string(body.size()) + "\r\n\r\n";
    qm_test::UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{2, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return "";
    const std::string request = head + body;
    if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0) return "";
    char buffer[4096];
    const ssize_t received = ::recv(fd.get(), buffer, sizeof buffer, 0);
    return received > 0 ? std::string(buffer, static_cast<size_t>(received)) : "";
}

TEST_F(PlainHttpSendTest, BehindNginxEveryRecordArrivesAndTheRefusedOneIsKept) {
    const char* nginx = nginxPath();
    if (nginx == nullptr) GTEST_SKIP() << "nginx is not installed";
    qm_test::CollectorOptions options;
    options.extraArgs = {"--fail-body", "record 1"};
    qm_test::CollectorProcess collector(options);
    NginxProxy proxy(nginx, collector.port());
    ASSERT_TRUE(proxy.ready()) << proxy.errorLog();

    struct Case {
        const char* path;
        const char* framing;  // in nginx's answer
    };
    for (const Case& c :
         {Case{"", "Content-Length:"}, Case{"/chunked", "Transfer-Encoding: chunked"}}) {
        SCOPED_TRACE(c.path);
        EXPECT_NE(
            rawAnswerStart(proxy.port(), std::string(c.path) + "/v2/log", m_body).find(c.framing),
            std::string::npos);
        const size_t before = collector.records().size();
        const auto start = std::chrono::steady_clock::now();
        send("http://127.0.0.1:" + std::to_string(proxy.port()) + c.path, 1);
        // nginx keeps the connection open for a minute: only the framing can end the read.
        EXPECT_LT(millisecondsSince(start), 3000);
        EXPECT_EQ(m_stored, records({1}));
        EXPECT_EQ(collector.records().size(), before + 3);
    }
}

}  // namespace
