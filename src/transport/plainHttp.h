// Plain HTTP/1.1 to a collector over a socket of our own: the answer reader, the request head
// and a transport that keeps its connection between exchanges (keep-alive). Each exchange as a
// whole (name lookup, connect, send, the whole answer) ends by its deadline.
#pragma once

#include <http_parser.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/exchangeDeadline.h"
#include "transport/nameLookup.h"
#include "transport/transport.h"

namespace plainHttp {

using Answer = CollectorAnswer;

// Reads one answer from bytes as they arrive, with Debian's http-parser. Informational (1xx)
// answers before the final one are skipped.
class AnswerReader {
public:
    explicit AnswerReader(size_t maxBodyBytes);
    AnswerReader(const AnswerReader&) = delete;
    AnswerReader& operator=(const AnswerReader&) = delete;

    // False once no more bytes are wanted: the answer is complete or cannot be read.
    bool feed(const char* data, size_t size);
    // The peer closed: an answer framed by the end of the connection is complete now.
    void endOfInput();

    bool complete() const { return m_complete; }
    bool failed() const { return m_failed; }
    // Some byte of an answer arrived.
    bool began() const { return m_began; }
    // The answer is complete, its peer keeps the connection open after it (HTTP/1.1 without
    // "Connection: close", HTTP/1.0 with "keep-alive", framed by length or chunks) and no byte
    // followed it: the connection is fit for the next request.
    bool leavesConnectionReusable() const { return m_complete && m_keepAlive && !m_trailing; }
    // Moves what was read into the answer.
    void takeInto(Answer& answer);

private:
    static int onMessageBegin(http_parser* parser);
    static int onBody(http_parser* parser, const char* at, size_t length);
    static int onMessageComplete(http_parser* parser);

    http_parser m_parser;
    http_parser_settings m_settings;
    size_t m_maxBodyBytes;
    std::string m_body;
    bool m_cut = false;
    bool m_complete = false;
    bool m_failed = false;
    bool m_began = false;
    bool m_keepAlive = false;
    bool m_trailing = false;
};

// "POST <prefix><path> HTTP/1.1", Host (always with the port), Content-Type and Content-Length
// of a JSON body of bodyBytes, and the empty line that ends the head; for a GET, no length.
std::string requestHead(const CollectorAddress& collector, const std::string& path,
                        size_t bodyBytes, bool get = false);

// Owns one socket descriptor and closes it when it goes.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Socket& operator=(Socket&& other) noexcept;
    int fd() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// Keeps the connection of an exchange whose answer was read to its end and left it open, for
// the next exchange to the same host and port. A new connection is opened when there is none,
// when the address changed, when the kept one was idle longer than maxIdle, or when the peer
// closed it or sent something unasked meanwhile. If a kept connection fails before any byte
// of the answer arrived (the peer closed it as the request went out), the exchange is tried
// once more on a new connection, under the same deadline. Host names are looked up through
// resolver (NameLookup): by the exchange's deadline, and once for as long as their addresses
// take connects.
class PlainHttpTransport : public CollectorTransport {
public:
    explicit PlainHttpTransport(std::chrono::milliseconds maxIdle = kMaxIdle,
                                NameResolver resolver = systemResolve);

    CollectorAnswer exchange(const CollectorRequest& request,
                             const ExchangeDeadline& deadline) override;
    // Sends head and then body as given (kept apart so a large body is not copied) to
    // host:port and reads the answer, keeping at most maxAnswerBytes of it.
    CollectorAnswer exchange(const std::string& host, uint16_t port, const std::string& head,
                             const std::string& body, const ExchangeDeadline& deadline,
                             size_t maxAnswerBytes = CollectorRequest::kMaxAnswerBytes);

private:
    using Clock = std::chrono::steady_clock;
    struct Attempt;

    Socket connectTo(const std::string& host, uint16_t port, const ExchangeDeadline& deadline,
                     CollectorAnswer& failed);
    bool keptConnectionFits(const std::string& host, uint16_t port) const;
    Attempt attempt(const std::string& head, const std::string& body,
                    const ExchangeDeadline& deadline, size_t maxAnswerBytes);
    CollectorAnswer settle(Attempt& outcome);

    std::chrono::milliseconds m_maxIdle;
    NameLookup m_lookup;
    Socket m_socket;
    std::string m_host;
    uint16_t m_port = 0;
    Clock::time_point m_idleSince;
};

}  // namespace plainHttp
