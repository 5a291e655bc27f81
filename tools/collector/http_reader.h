// Reads one HTTP/1.1 request from a raw connection: the head and a Content-Length body.
#pragma once

#include <strings.h>

#include <cstdlib>
#include <string>

#include "recorder.h"
#include "tcp_connection.h"

namespace collector {

constexpr size_t kMaxHeadBytes = 64 * 1024;
constexpr size_t kMaxBodyBytes = 64 * 1024 * 1024;

inline std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

inline std::string headerValue(const ReceivedRequest& request, const char* name) {
    for (const auto& header : request.headers) {
        if (strcasecmp(header.first.c_str(), name) == 0) return header.second;
    }
    return "";
}

// `head` is everything before the empty line, without it.
inline bool parseHead(const std::string& head, ReceivedRequest& request) {
    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t firstSpace = requestLine.find(' ');
    const size_t secondSpace = requestLine.find(' ', firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos) return false;
    request.method = requestLine.substr(0, firstSpace);
    request.path = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    while (lineEnd != std::string::npos) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        request.headers.emplace_back(line.substr(0, colon), trimmed(line.substr(colon + 1)));
    }
    return true;
}

// Reads until `data` holds the whole head; returns the offset of the body, 0 on failure.
inline size_t readHead(Connection& connection, std::string& data) {
    char buffer[4096];
    while (data.size() <= kMaxHeadBytes) {
        const size_t end = data.find("\r\n\r\n");
        if (end != std::string::npos) return end + 4;
        const long got = connection.readSome(buffer, sizeof buffer);
        if (got <= 0) return 0;
        data.append(buffer, static_cast<size_t>(got));
    }
    return 0;
}

inline bool readBody(Connection& connection, std::string& body, size_t length) {
    char buffer[16384];
    while (body.size() < length) {
        const long got = connection.readSome(buffer, sizeof buffer);
        if (got <= 0) return false;
        body.append(buffer, static_cast<size_t>(got));
    }
    body.resize(length);
    return true;
}

inline bool readRequest(Connection& connection, ReceivedRequest& request) {
    std::string data;
    const size_t bodyStart = readHead(connection, data);
    if (bodyStart == 0 || !parseHead(data.substr(0, bodyStart - 4), request)) return false;
    const size_t length =
        std::strtoull(headerValue(request, "Content-Length").c_str(), nullptr, 10);
    if (length > kMaxBodyBytes) return false;
    request.body = data.substr(bodyStart);
    // libcurl waits a second for this before it sends a larger body on its own.
    if (request.body.size() < length &&
        strcasecmp(headerValue(request, "Expect").c_str(), "100-continue") == 0 &&
        !connection.writeAll("HTTP/1.1 100 Continue\r\n\r\n")) {
        return false;
    }
    return readBody(connection, request.body, length);
}

}  // namespace collector
