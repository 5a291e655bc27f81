#include "transport/nameLookup.h"

#include <netdb.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace plainHttp {
namespace {

struct AddrInfoDeleter {
    void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

Endpoints addressesOf(const std::string& host, uint16_t port, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | flags;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) return {};
    std::unique_ptr<addrinfo, AddrInfoDeleter> list(found);
    Endpoints endpoints;
    for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addr == nullptr || entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Endpoint endpoint;
        endpoint.family = entry->ai_family;
        endpoint.socketType = entry->ai_socktype;
        endpoint.protocol = entry->ai_protocol;
        std::memcpy(&endpoint.address, entry->ai_addr, entry->ai_addrlen);
        endpoint.length = entry->ai_addrlen;
        endpoints.push_back(endpoint);
    }
    return endpoints;
}

}  // namespace

Endpoints systemResolve(const std::string& host, uint16_t port) {
    return addressesOf(host, port, 0);
}

// Shared by the exchange and the helper thread, so whichever of them ends last frees it.
struct NameLookup::Pending {
    Pending(std::string name, uint16_t number) : host(std::move(name)), port(number) {}

    bool finished() {
        std::lock_guard<std::mutex> lock(mutex);
        return done;
    }
    // False when the deadline (or its abandon flag) came first. Slices, so that a cut-off pulled
    // in meanwhile is seen.
    bool waitUntilDone(const ExchangeDeadline& deadline) {
        std::unique_lock<std::mutex> lock(mutex);
        while (!done) {
            const auto left = deadline.remaining();
            if (left.count() <= 0) return false;
            answered.wait_until(lock, Clock::now() + std::min(left, ExchangeDeadline::kSlice));
        }
        return true;
    }

    const std::string host;
    const uint16_t port;
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    Endpoints found;
};

NameLookup::NameLookup(NameResolver resolver) : m_resolver(std::move(resolver)) {}

// A lookup still running is left to its thread, which frees what it shares when it ends.
NameLookup::~NameLookup() = default;

Endpoints NameLookup::find(const std::string& host, uint16_t port, const ExchangeDeadline& deadline,
                           bool& timedOut) {
    timedOut = false;
    // Reading a numeric host asks no one, so it cannot hang.
    Endpoints numeric = addressesOf(host, port, AI_NUMERICHOST);
    if (!numeric.empty()) return numeric;
    const bool kept = !m_kept.empty() && host == m_keptHost && port == m_keptPort;
    if (kept && Clock::now() - m_keptSince < kFreshFor) return m_kept;
    const std::shared_ptr<Pending> lookup = lookupOf(host, port);
    if (kept) {
        // The old addresses serve while the new lookup runs: a hanging resolver costs nothing.
        if (lookup && lookup->finished()) settle(lookup);
        return m_kept;
    }
    if (!lookup) return {};
    if (!lookup->waitUntilDone(deadline)) {
        timedOut = true;
        return {};
    }
    settle(lookup);
    if (host == m_keptHost && port == m_keptPort) return m_kept;
    return {};
}

void NameLookup::forget(const std::string& host, uint16_t port) {
    if (host == m_keptHost && port == m_keptPort) m_kept.clear();
}

std::shared_ptr<NameLookup::Pending> NameLookup::lookupOf(const std::string& host, uint16_t port) {
    for (const std::shared_ptr<Pending>& running : m_running) {
        if (running->host == host && running->port == port) return running;
    }
    // Answers for other hosts that nobody came back for.
    m_running.erase(
        std::remove_if(m_running.begin(), m_running.end(),
                       [](const std::shared_ptr<Pending>& running) { return running->finished(); }),
        m_running.end());
    auto lookup = std::make_shared<Pending>(host, port);
    try {
        std::thread([lookup, resolver = m_resolver] {
            Endpoints found;
            try {
                found = resolver(lookup->host, lookup->port);
            } catch (...) {
                // Out of memory inside the resolver: no addresses.
            }
            {
                std::lock_guard<std::mutex> lock(lookup->mutex);
                lookup->found = std::move(found);
                lookup->done = true;
            }
            lookup->answered.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return nullptr;  // no thread to be had: this exchange finds nothing
    }
    m_running.push_back(lookup);
    return lookup;
}

// A failed new lookup leaves kept addresses in use; they are asked about again kFreshFor later.
void NameLookup::settle(const std::shared_ptr<Pending>& lookup) {
    m_running.erase(std::remove(m_running.begin(), m_running.end(), lookup), m_running.end());
    Endpoints found;
    {
        std::lock_guard<std::mutex> lock(lookup->mutex);
        found = std::move(lookup->found);
    }
    const bool sameHost = lookup->host == m_keptHost && lookup->port == m_keptPort;
    if (found.empty() && !sameHost) return;
    m_keptHost = lookup->host;
    m_keptPort = lookup->port;
    m_keptSince = Clock::now();
    if (!found.empty()) m_kept = std::move(found);
}

}  // namespace plainHttp
