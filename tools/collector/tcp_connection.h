// One accepted TCP connection, plain or TLS, for the modes that bypass the HTTP server.
#pragma once

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace collector {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

class Connection {
public:
    // `tls` null: plain TCP.
    Connection(UniqueFd socket, SSL_CTX* tls)
        : m_socket(std::move(socket)), m_ssl(tls ? SSL_new(tls) : nullptr) {
        if (m_ssl) SSL_set_fd(m_ssl.get(), m_socket.get());
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int fd() const { return m_socket.get(); }

    bool handshake() { return !m_ssl || SSL_accept(m_ssl.get()) == 1; }

    // Bytes read, 0 at the end of the stream, negative on failure or time-out.
    long readSome(char* buffer, size_t size) {
        if (m_ssl) return SSL_read(m_ssl.get(), buffer, static_cast<int>(size));
        return static_cast<long>(::recv(m_socket.get(), buffer, size, 0));
    }

    bool writeAll(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            const long sent = writeSome(data.data() + done, data.size() - done);
            if (sent <= 0) return false;
            done += static_cast<size_t>(sent);
        }
        return true;
    }

    void closeGracefully() {
        if (m_ssl) SSL_shutdown(m_ssl.get());
        closeSocket();
    }

    // A zero linger time makes close() send RST instead of FIN.
    void closeWithReset() {
        const linger noLinger{1, 0};
        ::setsockopt(m_socket.get(), SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger);
        closeSocket();
    }

    // Called from another thread to wake a read or write blocked on this connection. Shares a
    // lock with closing so that it never reaches a descriptor number already reused elsewhere.
    void interrupt() {
        const std::lock_guard<std::mutex> lock(m_closeMutex);
        if (m_socket.valid()) ::shutdown(m_socket.get(), SHUT_RDWR);
    }

private:
    void closeSocket() {
        const std::lock_guard<std::mutex> lock(m_closeMutex);
        m_ssl.reset();
        m_socket.reset();
    }

    long writeSome(const char* data, size_t size) {
        if (m_ssl) return SSL_write(m_ssl.get(), data, static_cast<int>(size));
        return static_cast<long>(::send(m_socket.get(), data, size, MSG_NOSIGNAL));
    }

    std::mutex m_closeMutex;
    UniqueFd m_socket;
    std::unique_ptr<SSL, SslFree> m_ssl;  // declared after the socket: freed before it closes
};

}  // namespace collector
