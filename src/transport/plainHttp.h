// One plain-HTTP exchange over a socket of our own: connect, send the whole request, read the
// whole answer as HTTP/1.1 frames it, close. The exchange as a whole ends by its deadline.
#pragma once

#include <http_parser.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/exchangeDeadline.h"

namespace plainHttp {

struct Answer {
    bool connected = false;
    bool sent = false;
    // The answer's framing (Content-Length, chunks or the end of the connection) was read to
    // its end. Without it the answer says nothing.
    bool complete = false;
    // Status code of the final answer; 0 when none was read.
    long status = 0;
    // The body, chunks joined, without headers; at most HttpSender::kMaxAnswerBytes.
    std::string body;
    // The body was longer than that and only its start was kept.
    bool cut = false;
};

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
};

// Sends head and then body (kept apart so a large body is not copied) to host:port and reads
// the answer; ends by the deadline whatever the peer does.
Answer exchange(const std::string& host, uint16_t port, const std::string& head,
                const std::string& body, const ExchangeDeadline& deadline);

}  // namespace plainHttp
