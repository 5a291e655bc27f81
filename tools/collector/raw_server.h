// Accept loop for the modes that misbehave below HTTP: stall, close, reset, split and trickle.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "answers.h"
#include "http_reader.h"
#include "options.h"
#include "recorder.h"
#include "stop_signal.h"
#include "tcp_connection.h"

namespace collector {

constexpr size_t kSplitPieceBytes = 32;
constexpr int kSplitPauseMs = 50;
// A trickling answer: one byte a second, as a peer on a dying link may send it.
constexpr size_t kTricklePieceBytes = 1;
constexpr int kTricklePauseMs = 1000;

inline std::string httpResponseText(const Answer& answer) {
    return "HTTP/1.1 " + std::to_string(answer.status) + " " + statusReason(answer.status) +
           "\r\nContent-Type: " + answer.contentType +
           "\r\nContent-Length: " + std::to_string(answer.body.size()) +
           "\r\nConnection: close\r\n\r\n" + answer.body;
}

inline UniqueFd listenOnLoopback(int port) {
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) throw std::runtime_error("cannot create a socket");
    const int yes = 1;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket.get(), 64) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    }
    return socket;
}

inline int boundPort(const UniqueFd& socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot read the listening port");
    }
    return ntohs(address.sin_port);
}

class RawServer {
public:
    RawServer(const Options& options, Recorder& recorder, StopSignal& stop, SSL_CTX* tls)
        : m_options(options), m_recorder(recorder), m_stop(stop), m_tls(tls) {}
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;
    ~RawServer() { shutdown(); }

    // Returns the port actually bound.
    int listen(int port) {
        m_listening = listenOnLoopback(port);
        return boundPort(m_listening);
    }

    void start() {
        m_acceptThread = std::thread([this] { acceptLoop(); });
    }

    // Expects the stop signal to have been triggered; returns once every connection is closed.
    void shutdown() {
        if (m_acceptThread.joinable()) m_acceptThread.join();
        std::unique_lock<std::mutex> lock(m_mutex);
        for (Connection* connection : m_open) connection->interrupt();
        m_idle.wait(lock, [this] { return m_workers == 0; });
    }

private:
    void acceptLoop() {
        while (!m_stop.stopped()) {
            pollfd ready{m_listening.get(), POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            UniqueFd client(::accept4(m_listening.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (client.valid()) startWorker(std::move(client));
        }
    }

    void startWorker(UniqueFd client) {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            ++m_workers;
        }
        std::thread([this, fd = client.release()] { runWorker(UniqueFd(fd)); }).detach();
    }

    void runWorker(UniqueFd client) {
        {
            Connection connection(std::move(client), m_tls);
            configure(connection.fd());
            track(&connection, true);
            if (!m_stop.stopped()) serve(connection);
            track(&connection, false);
        }
        const std::lock_guard<std::mutex> lock(m_mutex);
        --m_workers;
        m_idle.notify_all();
    }

    void track(Connection* connection, bool open) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (open) {
            m_open.insert(connection);
        } else {
            m_open.erase(connection);
        }
    }

    static void configure(int fd) {
        const timeval readTimeout{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &readTimeout, sizeof readTimeout);
        // The split mode relies on every piece leaving in its own segment.
        const int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    }

    void serve(Connection& connection) {
        // A stalled TLS peer never even gets its handshake answered.
        if (m_options.mode == Mode::Stall && m_options.https) return m_stop.waitUntilStopped();
        if (!connection.handshake()) return;
        ReceivedRequest request;
        const bool complete = readRequest(connection, request);
        const ReceivedRecords records = complete ? m_recorder.record(request) : std::nullopt;
        if (m_options.mode == Mode::Stall) return m_stop.waitUntilStopped();
        if (!m_stop.sleepFor(m_options.delayMs)) return;
        if (m_options.mode == Mode::Reset) return connection.closeWithReset();
        if (m_options.mode == Mode::Split && complete) {
            writeInPieces(connection, httpResponseText(answerFor(m_options, request, records)),
                          kSplitPieceBytes, kSplitPauseMs);
        }
        if (m_options.mode == Mode::Trickle && complete) {
            writeInPieces(connection, httpResponseText(answerFor(m_options, request, records)),
                          kTricklePieceBytes, kTricklePauseMs);
        }
        connection.closeGracefully();
    }

    void writeInPieces(Connection& connection, const std::string& text, size_t pieceBytes,
                       int pauseMs) {
        for (size_t offset = 0; offset < text.size(); offset += pieceBytes) {
            if (offset > 0 && !m_stop.sleepFor(pauseMs)) return;
            if (!connection.writeAll(text.substr(offset, pieceBytes))) return;
        }
    }

    const Options& m_options;
    Recorder& m_recorder;
    StopSignal& m_stop;
    SSL_CTX* m_tls;
    UniqueFd m_listening;
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::condition_variable m_idle;
    std::set<Connection*> m_open;
    int m_workers = 0;
};

}  // namespace collector
