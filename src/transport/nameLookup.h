// The addresses of a plain-HTTP collector's host name, found without letting a resolver that
// never answers hold an exchange past its deadline. The system resolver has time-outs of its
// own (5 s a try, tries times servers, more with "options timeout:"), which no deadline of
// ours reaches: the lookup runs on a helper thread the exchange can leave behind.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transport/exchangeDeadline.h"

namespace plainHttp {

// One address to connect to, as getaddrinfo gives it.
struct Endpoint {
    int family = 0;
    int socketType = 0;
    int protocol = 0;
    sockaddr_storage address{};
    socklen_t length = 0;
};
using Endpoints = std::vector<Endpoint>;

// Turns a host name and a port into TCP addresses; empty when there are none. May block for as
// long as it likes, and runs on a thread of its own: it must not refer to anything that may go
// before it returns.
using NameResolver = std::function<Endpoints(const std::string& host, uint16_t port)>;

// getaddrinfo, any family, TCP.
Endpoints systemResolve(const std::string& host, uint16_t port);

// Finds addresses for one transport's exchanges (not shared between threads). A numeric host
// is read as it is, never asked about. A name's addresses are kept and used for every later
// connect to the same host and port until a connect to them fails; once kFreshFor old they are
// looked up again in the background while they go on being used. Only one lookup per host and
// port runs at a time: an exchange that comes while one hangs waits on that one too, so a
// resolver that never answers costs one thread, not one per exchange.
class NameLookup {
public:
    static constexpr std::chrono::minutes kFreshFor{5};

    explicit NameLookup(NameResolver resolver = systemResolve);
    ~NameLookup();
    NameLookup(const NameLookup&) = delete;
    NameLookup& operator=(const NameLookup&) = delete;

    // The addresses of host:port; empty when the name has none or no answer came before the
    // deadline (then timedOut says so). A lookup that missed the deadline goes on and its
    // answer is there for the next call.
    Endpoints find(const std::string& host, uint16_t port, const ExchangeDeadline& deadline,
                   bool& timedOut);
    // No connect to the addresses find gave for host:port succeeded: they are not used again.
    void forget(const std::string& host, uint16_t port);

private:
    using Clock = std::chrono::steady_clock;
    struct Pending;

    std::shared_ptr<Pending> lookupOf(const std::string& host, uint16_t port);
    void settle(const std::shared_ptr<Pending>& lookup);

    NameResolver m_resolver;
    // Lookups started and not yet settled, at most one per host and port.
    std::vector<std::shared_ptr<Pending>> m_running;
    std::string m_keptHost;
    uint16_t m_keptPort = 0;
    Endpoints m_kept;
    Clock::time_point m_keptSince;
};

}  // namespace plainHttp
