// A TCP server on loopback (127.0.0.1 or ::1) for transport tests: it accepts clients one after
// the other, reads HTTP requests and answers each with a scripted reply, byte for byte, with
// pauses, resets and early closes that a real collector or proxy may produce.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qm_test {

// Owns one file descriptor and closes it when it goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.m_fd);
            other.m_fd = -1;
        }
        return *this;
    }

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// One step of the reply. After the last step the connection is closed normally (FIN) unless a
// step already ended it.
struct ReplyStep {
    enum class Kind { Send, Pause, Close, Reset, DropRequest };
    Kind kind;
    std::string bytes;
    int milliseconds = 0;

    static ReplyStep send(std::string bytes);
    // Ends early when the client ends the connection.
    static ReplyStep pause(int milliseconds);
    static ReplyStep close();
    // Closes with SO_LINGER 0, so the client sees a reset instead of an orderly end.
    static ReplyStep reset();
    // As the first step of a reply: waits until the request begins to arrive and closes
    // without reading it, as a server that drops an idle connection just then (the client
    // sees a reset).
    static ReplyStep dropRequest();
};

// What the server does on one connection it accepts: one reply for each request read on it,
// in order. The connection ends when a reply ends it, when no further request comes, or after
// the last reply (normally, FIN).
struct ConnectionScript {
    std::vector<std::vector<ReplyStep>> replies;
};

// An HTTP/1.1 answer in chunked transfer encoding, chunkBytes of the body per chunk with a
// pause after each, as a server that streams its answer sends it; the connection stays open
// after the last chunk (keep-alive).
std::vector<ReplyStep> chunkedAnswer(const std::string& statusLine, const std::string& body,
                                     size_t chunkBytes, int pauseMilliseconds);
// Bytes sent one at a time with a pause before each: a peer that trickles.
std::vector<ReplyStep> trickle(const std::string& bytes, int pauseMilliseconds);

class RawServer {
public:
    enum class Family { Ipv4, Ipv6 };
    // One connection, one request, this reply.
    explicit RawServer(std::vector<ReplyStep> script, Family family = Family::Ipv4);
    // The connections in the order they are accepted; a client beyond them is not accepted.
    explicit RawServer(std::vector<ConnectionScript> connections, Family family = Family::Ipv4);
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    uint16_t port() const { return m_port; }
    // Ends the server: the client is done by now, so pauses still running are cut short and a
    // client that has not connected is not waited for.
    void finish();
    // Bytes of the first request as received; call after finish().
    std::string request() const;
    // Every request read whole, in order of arrival; call after finish().
    std::vector<std::string> requests() const;
    bool accepted() const { return m_acceptedConnections > 0; }
    size_t acceptedConnections() const { return m_acceptedConnections; }

private:
    void serve();
    void serveConnection(UniqueFd& connection, const ConnectionScript& script);
    int acceptOne() const;
    bool readRequest(int fd);
    bool playScript(UniqueFd& connection, const std::vector<ReplyStep>& script);
    bool pauseOn(int fd, int milliseconds) const;

    std::vector<ConnectionScript> m_connections;
    UniqueFd m_listen;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<size_t> m_acceptedConnections{0};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

// A loopback port on which nothing listens (bound a moment ago and released).
uint16_t unusedLoopbackPort();

}  // namespace qm_test
