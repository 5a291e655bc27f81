// One plain-HTTP exchange over a socket of our own: connect, send the whole request, read the
// whole answer (bounded), close.
#pragma once

#include <cstdint>
#include <string>

namespace plainHttp {

struct Answer {
    bool connected = false;
    bool sentAll = false;
    // Status code of the answer's status line; 0 when there was none.
    long status = 0;
    // Status line, headers and body as received.
    std::string text;
    // The answer was longer than the read limit and only its start was kept.
    bool cut = false;
};

// Seconds each connect, send and receive may take.
constexpr int kTimeoutSeconds = 10;

Answer exchange(const std::string& host, uint16_t port, const std::string& request);

// Parses "HTTP/1.x NNN ..." at the start of text; 0 when absent.
long parseStatus(const std::string& text);
// True once text holds the whole header block and as many body bytes as Content-Length says.
bool isComplete(const std::string& text);

}  // namespace plainHttp
