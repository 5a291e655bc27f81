#include "transport/plainHttp.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "transport/httpSender.h"

namespace plainHttp {
namespace {

// Waits until the socket is ready for events or the deadline passes, in slices so that a
// cut-off pulled in meanwhile is seen. Readiness includes errors: the next call reports them.
bool waitFor(int fd, short events, const ExchangeDeadline& deadline) {
    for (;;) {
        const auto left = deadline.remaining();
        if (left.count() <= 0) return false;
        pollfd waiter{fd, events, 0};
        const int result =
            poll(&waiter, 1, static_cast<int>(std::min(left, ExchangeDeadline::kSlice).count()));
        if (result > 0) return true;
        if (result < 0 && errno != EINTR) return false;
    }
}

bool connectBefore(int fd, const sockaddr* address, socklen_t length,
                   const ExchangeDeadline& deadline) {
    if (connect(fd, address, length) == 0) return true;
    if (errno != EINPROGRESS) return false;
    if (!waitFor(fd, POLLOUT, deadline)) return false;
    int error = 0;
    socklen_t errorLength = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) == 0 && error == 0;
}

// Non-blocking from the start: every wait goes through waitFor and so ends by the deadline.
Socket openSocket(const Endpoint& endpoint) {
    Socket socket(::socket(endpoint.family, endpoint.socketType | SOCK_CLOEXEC, endpoint.protocol));
    if (!socket.valid()) return socket;
    const int flags = fcntl(socket.fd(), F_GETFL, 0);
    if (flags < 0 || fcntl(socket.fd(), F_SETFL, flags | O_NONBLOCK) < 0) return Socket();
    // One request, one answer: do not hold the last segment back waiting for an ACK.
    int noDelay = 1;
    setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    linger resetOnClose{1, 0};
    setsockopt(socket.fd(), SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose);
    return socket;
}

Socket connectToAny(const Endpoints& endpoints, const ExchangeDeadline& deadline) {
    for (const Endpoint& endpoint : endpoints) {
        Socket candidate = openSocket(endpoint);
        if (!candidate.valid()) continue;
        const auto* address = reinterpret_cast<const sockaddr*>(&endpoint.address);
        if (connectBefore(candidate.fd(), address, endpoint.length, deadline)) return candidate;
        if (deadline.passed()) break;
    }
    return Socket();
}

bool sendAll(int fd, const std::string& bytes, const ExchangeDeadline& deadline) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        // MSG_NOSIGNAL: a collector that closed early must not kill the app with SIGPIPE.
        const ssize_t result = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (result > 0) {
            sent += static_cast<size_t>(result);
        } else if (result < 0 && errno == EINTR) {
            continue;
        } else if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd, POLLOUT, deadline)) return false;
        } else {
            return false;
        }
    }
    return true;
}

void receiveAnswer(int fd, AnswerReader& reader, const ExchangeDeadline& deadline) {
    char buffer[16384];
    for (;;) {
        const ssize_t received = recv(fd, buffer, sizeof buffer, 0);
        if (received > 0) {
            if (!reader.feed(buffer, static_cast<size_t>(received))) return;
        } else if (received == 0) {
            reader.endOfInput();
            return;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(fd, POLLIN, deadline)) return;
        } else {
            return;  // reset: what was read so far is not an answer
        }
    }
}

}  // namespace

AnswerReader::AnswerReader(size_t maxBodyBytes) : m_maxBodyBytes(maxBodyBytes) {
    http_parser_init(&m_parser, HTTP_RESPONSE);
    m_parser.data = this;
    http_parser_settings_init(&m_settings);
    m_settings.on_message_begin = &AnswerReader::onMessageBegin;
    m_settings.on_body = &AnswerReader::onBody;
    m_settings.on_message_complete = &AnswerReader::onMessageComplete;
}

int AnswerReader::onMessageBegin(http_parser* parser) {
    auto* self = static_cast<AnswerReader*>(parser->data);
    self->m_body.clear();
    self->m_cut = false;
    return 0;
}

// The rest of a long body is still read, so that its framing tells whether it ended.
int AnswerReader::onBody(http_parser* parser, const char* at, size_t length) {
    auto* self = static_cast<AnswerReader*>(parser->data);
    const size_t room = self->m_maxBodyBytes - self->m_body.size();
    if (length > room) self->m_cut = true;
    self->m_body.append(at, std::min(length, room));
    return 0;
}

int AnswerReader::onMessageComplete(http_parser* parser) {
    // "100 Continue" and its kind come ahead of the answer itself.
    if (parser->status_code / 100 == 1) return 0;
    auto* self = static_cast<AnswerReader*>(parser->data);
    self->m_complete = true;
    // The parser forgets the answer's connection headers once the next one begins.
    self->m_keepAlive = http_should_keep_alive(parser) != 0;
    // Whatever follows the answer is not ours to read.
    http_parser_pause(parser, 1);
    return 0;
}

bool AnswerReader::feed(const char* data, size_t size) {
    if (m_complete || m_failed) return false;
    if (size > 0) m_began = true;
    const size_t parsed = http_parser_execute(&m_parser, &m_settings, data, size);
    if (m_complete) {
        // Bytes nobody asked for: the connection's state is unknown from here on.
        m_trailing = parsed != size;
        return false;
    }
    if (parsed != size || HTTP_PARSER_ERRNO(&m_parser) != HPE_OK || m_parser.upgrade) {
        m_failed = true;
        return false;
    }
    return true;
}

void AnswerReader::endOfInput() {
    if (m_complete || m_failed) return;
    http_parser_execute(&m_parser, &m_settings, nullptr, 0);
    if (!m_complete) m_failed = true;
}

void AnswerReader::takeInto(Answer& answer) {
    answer.complete = m_complete;
    answer.status = m_complete ? static_cast<long>(m_parser.status_code) : 0;
    answer.body = std::move(m_body);
    answer.cut = m_cut;
}

std::string requestHead(const CollectorAddress& collector, const std::string& path,
                        size_t bodyBytes, bool get) {
    std::string head = (get ? "GET " : "POST ") + collector.pathPrefix + path + " HTTP/1.1\r\n";
    head += "Host: " + collector.authority() + "\r\n";
    head += "Content-Type: application/json\r\n";
    if (!get) head += "Content-Length: " + std::to_string(bodyBytes) + "\r\n";
    head += "\r\n";
    return head;
}

Socket::~Socket() {
    if (m_fd >= 0) close(m_fd);
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) close(m_fd);
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

struct PlainHttpTransport::Attempt {
    CollectorAnswer answer;
    // No byte of an answer arrived before the connection failed (not before the deadline).
    bool closedBeforeAnswer = false;
    bool reusable = false;
};

PlainHttpTransport::PlainHttpTransport(std::chrono::milliseconds maxIdle, NameResolver resolver)
    : m_maxIdle(maxIdle), m_lookup(std::move(resolver)) {}

CollectorAnswer PlainHttpTransport::exchange(const CollectorRequest& request,
                                             const ExchangeDeadline& deadline) {
    static const std::string kNoBody;
    const std::string& body = request.get || request.body == nullptr ? kNoBody : *request.body;
    const CollectorAddress& target = request.target;
    return exchange(target.host, target.port,
                    requestHead(target, request.path, body.size(), request.get), body, deadline,
                    request.maxAnswerBytes);
}

CollectorAnswer PlainHttpTransport::exchange(const std::string& host, uint16_t port,
                                             const std::string& head, const std::string& body,
                                             const ExchangeDeadline& deadline,
                                             size_t maxAnswerBytes) {
    if (m_socket.valid() && !keptConnectionFits(host, port)) m_socket = Socket();
    if (m_socket.valid()) {
        Attempt onKept = attempt(head, body, deadline, maxAnswerBytes);
        onKept.answer.reused = true;
        if (!onKept.closedBeforeAnswer || deadline.passed()) return settle(onKept);
        m_socket = Socket();
    }
    CollectorAnswer notConnected;
    m_socket = connectTo(host, port, deadline, notConnected);
    if (!m_socket.valid()) return notConnected;
    m_host = host;
    m_port = port;
    Attempt onNew = attempt(head, body, deadline, maxAnswerBytes);
    return settle(onNew);
}

// Addresses none of which took a connect, and not for want of time, are looked up anew next time.
Socket PlainHttpTransport::connectTo(const std::string& host, uint16_t port,
                                     const ExchangeDeadline& deadline, CollectorAnswer& failed) {
    bool timedOut = false;
    const Endpoints endpoints = m_lookup.find(host, port, deadline, timedOut);
    if (timedOut) {
        failed.failure = "no answer to the name lookup of " + host + " in time";
        return Socket();
    }
    Socket connected = connectToAny(endpoints, deadline);
    if (!connected.valid() && !endpoints.empty() && !deadline.passed()) m_lookup.forget(host, port);
    return connected;
}

// A peer that closed the idle connection, or wrote to it unasked, has made it readable.
bool PlainHttpTransport::keptConnectionFits(const std::string& host, uint16_t port) const {
    if (host != m_host || port != m_port) return false;
    if (Clock::now() - m_idleSince > m_maxIdle) return false;
    pollfd waiter{m_socket.fd(), POLLIN, 0};
    return poll(&waiter, 1, 0) == 0;
}

PlainHttpTransport::Attempt PlainHttpTransport::attempt(const std::string& head,
                                                        const std::string& body,
                                                        const ExchangeDeadline& deadline,
                                                        size_t maxAnswerBytes) {
    Attempt outcome;
    outcome.answer.connected = true;
    const int fd = m_socket.fd();
    outcome.answer.sent = sendAll(fd, head, deadline) && sendAll(fd, body, deadline);
    // Read even after a failed send: a collector may refuse early and close.
    AnswerReader reader(maxAnswerBytes);
    receiveAnswer(fd, reader, deadline);
    reader.takeInto(outcome.answer);
    outcome.closedBeforeAnswer = !reader.began() && !deadline.passed();
    // A cut answer was read to its end too, but its connection is not trusted further.
    outcome.reusable =
        outcome.answer.sent && reader.leavesConnectionReusable() && !outcome.answer.cut;
    return outcome;
}

// Keeps the connection only when the answer left it fit for the next request.
CollectorAnswer PlainHttpTransport::settle(Attempt& outcome) {
    if (outcome.reusable) {
        m_idleSince = Clock::now();
    } else {
        m_socket = Socket();
    }
    return std::move(outcome.answer);
}

}  // namespace plainHttp
