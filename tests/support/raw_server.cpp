#include "support/raw_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace qm_test {
namespace {

// Short enough that stopping the server never waits noticeably, long enough not to spin.
constexpr int kTickMilliseconds = 10;
// A request that has not arrived by then is not coming.
constexpr int kRequestWaitMilliseconds = 5000;

UniqueFd bindLoopback(uint16_t port, RawServer::Family family = RawServer::Family::Ipv4) {
    const bool ipv6 = family == RawServer::Family::Ipv6;
    UniqueFd fd(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
    if (!fd.valid()) throw std::runtime_error("socket failed");
    const int reuse = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (ipv6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_port = htons(port);
        address->sin6_addr = in6addr_loopback;
        length = sizeof *address;
    } else {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_port = htons(port);
        address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *address;
    }
    if (bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        throw std::runtime_error("bind failed");
    }
    return fd;
}

uint16_t boundPort(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        throw std::runtime_error("getsockname failed");
    }
    const auto* address = reinterpret_cast<const sockaddr_in*>(&storage);
    if (storage.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    }
    return ntohs(address->sin_port);
}

// Independent of the library's own parsing on purpose: the server must not share its faults.
bool requestComplete(const std::string& request) {
    const size_t headerEnd = request.find("\r\n\r\n");
    if (headerEnd == std::string::npos) return false;
    size_t bodyLength = 0;
    size_t lineStart = 0;
    while (lineStart < headerEnd) {
        const size_t lineEnd = request.find("\r\n", lineStart);
        const std::string line = request.substr(lineStart, lineEnd - lineStart);
        static const std::string kName = "content-length:";
        if (line.size() > kName.size() &&
            strncasecmp(line.c_str(), kName.c_str(), kName.size()) == 0) {
            bodyLength = std::strtoul(line.c_str() + kName.size(), nullptr, 10);
        }
        lineStart = lineEnd + 2;
    }
    return request.size() >= headerEnd + 4 + bodyLength;
}

bool sendEverything(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t result = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (result < 0 && errno == EINTR) continue;
        if (result <= 0) return false;
        sent += static_cast<size_t>(result);
    }
    return true;
}

}  // namespace

void UniqueFd::reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

ReplyStep ReplyStep::send(std::string bytes) { return {Kind::Send, std::move(bytes), 0}; }
ReplyStep ReplyStep::pause(int milliseconds) { return {Kind::Pause, "", milliseconds}; }
ReplyStep ReplyStep::close() { return {Kind::Close, "", 0}; }
ReplyStep ReplyStep::reset() { return {Kind::Reset, "", 0}; }
ReplyStep ReplyStep::dropRequest() { return {Kind::DropRequest, "", 0}; }

std::vector<ReplyStep> chunkedAnswer(const std::string& statusLine, const std::string& body,
                                     size_t chunkBytes, int pauseMilliseconds) {
    std::vector<ReplyStep> steps{ReplyStep::send(statusLine +
                                                 "\r\nContent-Type: application/json"
                                                 "\r\nConnection: keep-alive"
                                                 "\r\nTransfer-Encoding: chunked\r\n\r\n")};
    char size[32];
    for (size_t at = 0; at < body.size(); at += chunkBytes) {
        const std::string chunk = body.substr(at, chunkBytes);
        snprintf(size, sizeof size, "%zx\r\n", chunk.size());
        steps.push_back(ReplyStep::send(size + chunk + "\r\n"));
        steps.push_back(ReplyStep::pause(pauseMilliseconds));
    }
    steps.push_back(ReplyStep::send("0\r\n\r\n"));
    // Keep-alive: the server waits for the next request instead of closing.
    steps.push_back(ReplyStep::pause(30000));
    return steps;
}

std::vector<ReplyStep> trickle(const std::string& bytes, int pauseMilliseconds) {
    std::vector<ReplyStep> steps;
    for (const char byte : bytes) {
        steps.push_back(ReplyStep::pause(pauseMilliseconds));
        steps.push_back(ReplyStep::send(std::string(1, byte)));
    }
    return steps;
}

RawServer::RawServer(std::vector<ReplyStep> script, Family family)
    : RawServer(std::vector<ConnectionScript>{ConnectionScript{{std::move(script)}}}, family) {}

RawServer::RawServer(std::vector<ConnectionScript> connections, Family family)
    : m_connections(std::move(connections)), m_listen(bindLoopback(0, family)) {
    if (listen(m_listen.get(), 4) != 0) throw std::runtime_error("listen failed");
    m_port = boundPort(m_listen.get());
    m_thread = std::thread(&RawServer::serve, this);
}

RawServer::~RawServer() { finish(); }

void RawServer::finish() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

std::string RawServer::request() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests.empty() ? std::string() : m_requests.front();
}

std::vector<std::string> RawServer::requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void RawServer::serve() {
    for (const ConnectionScript& script : m_connections) {
        UniqueFd connection(acceptOne());
        if (!connection.valid()) return;
        ++m_acceptedConnections;
        serveConnection(connection, script);
    }
}

void RawServer::serveConnection(UniqueFd& connection, const ConnectionScript& script) {
    for (const std::vector<ReplyStep>& reply : script.replies) {
        if (!reply.empty() && reply.front().kind == ReplyStep::Kind::DropRequest) {
            pollfd waiter{connection.get(), POLLIN, 0};
            while (!m_stop && poll(&waiter, 1, kTickMilliseconds) == 0) {
            }
            connection.reset();
            return;
        }
        if (!readRequest(connection.get())) return;
        if (!playScript(connection, reply)) return;
    }
}

int RawServer::acceptOne() const {
    for (;;) {
        pollfd waiter{m_listen.get(), POLLIN, 0};
        // A client already queued is still accepted after finish(), so accepted() tells the
        // truth about it.
        if (poll(&waiter, 1, kTickMilliseconds) == 1)
            return accept(m_listen.get(), nullptr, nullptr);
        if (m_stop) return -1;
    }
}

// False when the client ended the connection (or the server stops) before a whole request;
// a request that stays incomplete until the wait ends is answered all the same.
bool RawServer::readRequest(int fd) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestWaitMilliseconds);
    std::string request;
    char buffer[65536];
    bool open = true;
    while (!requestComplete(request) && std::chrono::steady_clock::now() < deadline) {
        if (m_stop) {
            open = false;
            break;
        }
        pollfd waiter{fd, POLLIN, 0};
        if (poll(&waiter, 1, kTickMilliseconds) != 1) continue;
        const ssize_t received = recv(fd, buffer, sizeof buffer, 0);
        if (received <= 0) {
            open = false;
            break;
        }
        request.append(buffer, static_cast<size_t>(received));
    }
    const bool whole = requestComplete(request);
    if (!request.empty()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(std::move(request));
    }
    return open || whole;
}

// False once the reply ended the connection.
bool RawServer::playScript(UniqueFd& connection, const std::vector<ReplyStep>& script) {
    for (const ReplyStep& step : script) {
        switch (step.kind) {
            case ReplyStep::Kind::Send:
                if (!sendEverything(connection.get(), step.bytes)) return false;
                break;
            case ReplyStep::Kind::Pause:
                if (!pauseOn(connection.get(), step.milliseconds)) return false;
                break;
            case ReplyStep::Kind::DropRequest:
            case ReplyStep::Kind::Close:
                connection.reset();
                return false;
            case ReplyStep::Kind::Reset: {
                const linger resetOnClose{1, 0};
                setsockopt(connection.get(), SOL_SOCKET, SO_LINGER, &resetOnClose,
                           sizeof resetOnClose);
                connection.reset();
                return false;
            }
        }
    }
    return true;
}

// False when the server stops or the client ended the connection meanwhile: a client that
// gave up must not hold the server (and the clients after it) for the rest of the pause.
bool RawServer::pauseOn(int fd, int milliseconds) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        if (m_stop) return false;
        pollfd waiter{fd, POLLIN, 0};
        if (poll(&waiter, 1, kTickMilliseconds) != 1) continue;
        char byte = 0;
        const ssize_t peeked = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EINTR)) return false;
        // The next request is there already; it waits until the pause is over.
        std::this_thread::sleep_for(std::chrono::milliseconds(kTickMilliseconds));
    }
    return true;
}

uint16_t unusedLoopbackPort() {
    UniqueFd probe = bindLoopback(0);
    return boundPort(probe.get());
}

}  // namespace qm_test
