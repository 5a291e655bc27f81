#include "transport/plainHttp.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "transport/httpSender.h"

namespace plainHttp {
namespace {

class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket() {
        if (m_fd >= 0) close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Socket& operator=(Socket&& other) noexcept {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    int fd() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

// Connects with a bounded wait: an unreachable collector must not hold the sending thread for
// the system's full connect time-out.
bool connectWithTimeout(int fd, const sockaddr* address, socklen_t length) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    int result = connect(fd, address, length);
    if (result != 0 && errno == EINPROGRESS) {
        pollfd waiter{fd, POLLOUT, 0};
        result = poll(&waiter, 1, kTimeoutSeconds * 1000) == 1 ? 0 : -1;
        int error = 0;
        socklen_t errorLength = sizeof error;
        if (result == 0 &&
            (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0 || error != 0)) {
            result = -1;
        }
    }
    return result == 0 && fcntl(fd, F_SETFL, flags) == 0;
}

void configure(int fd) {
    // One request, one answer: do not hold the last segment back waiting for an ACK.
    int noDelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    linger resetOnClose{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
    timeval timeout{kTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

Socket connectTo(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return Socket();
    std::unique_ptr<addrinfo, AddrInfoDeleter> list(found);
    for (addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        Socket candidate(socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol));
        if (!candidate.valid()) continue;
        if (!connectWithTimeout(candidate.fd(), entry->ai_addr, entry->ai_addrlen)) continue;
        configure(candidate.fd());
        return candidate;
    }
    return Socket();
}

bool sendAll(int fd, const std::string& request) {
    size_t sent = 0;
    while (sent < request.size()) {
        // MSG_NOSIGNAL: a collector that closed early must not kill the app with SIGPIPE.
        ssize_t result = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) return false;
        sent += static_cast<size_t>(result);
    }
    return true;
}

void receiveAnswer(int fd, Answer& answer) {
    char buffer[16384];
    while (!isComplete(answer.text)) {
        ssize_t received = recv(fd, buffer, sizeof buffer, 0);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) return;  // closed, reset or timed out
        const size_t room = HttpSender::kMaxAnswerBytes - answer.text.size();
        const size_t keep = static_cast<size_t>(received) < room ? received : room;
        answer.text.append(buffer, keep);
        if (answer.text.size() >= HttpSender::kMaxAnswerBytes) {
            answer.cut = keep < static_cast<size_t>(received) || !isComplete(answer.text);
            return;
        }
    }
}

size_t contentLength(const std::string& headers) {
    size_t lineStart = headers.find("\r\n");
    while (lineStart != std::string::npos && lineStart + 2 < headers.size()) {
        lineStart += 2;
        size_t lineEnd = headers.find("\r\n", lineStart);
        if (lineEnd == std::string::npos) lineEnd = headers.size();
        static const char kName[] = "content-length:";
        const size_t nameLength = sizeof kName - 1;
        if (lineEnd - lineStart > nameLength &&
            strncasecmp(headers.c_str() + lineStart, kName, nameLength) == 0) {
            return strtoul(headers.c_str() + lineStart + nameLength, nullptr, 10);
        }
        lineStart = lineEnd;
    }
    return std::string::npos;
}

}  // namespace

long parseStatus(const std::string& text) {
    if (text.compare(0, 7, "HTTP/1.") != 0 || text.size() < 12 || text[8] != ' ') return 0;
    for (size_t i = 9; i < 12; ++i) {
        if (!isdigit(static_cast<unsigned char>(text[i]))) return 0;
    }
    return strtol(text.substr(9, 3).c_str(), nullptr, 10);
}

bool isComplete(const std::string& text) {
    const size_t headerEnd = text.find("\r\n\r\n");
    if (headerEnd == std::string::npos) return false;
    const size_t length = contentLength(text.substr(0, headerEnd));
    // Without Content-Length the answer ends when the collector closes the connection.
    if (length == std::string::npos) return false;
    return text.size() - (headerEnd + 4) >= length;
}

Answer exchange(const std::string& host, uint16_t port, const std::string& request) {
    Answer answer;
    Socket socket = connectTo(host, port);
    if (!socket.valid()) return answer;
    answer.connected = true;
    answer.sentAll = sendAll(socket.fd(), request);
    receiveAnswer(socket.fd(), answer);
    answer.status = parseStatus(answer.text);
    return answer;
}

}  // namespace plainHttp
