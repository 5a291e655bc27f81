// The one seam of every exchange the library has with a server (log posts, the crash report,
// kept crashes, the settings request, the network-insight upload): a request to a path of a
// collector address, the answer read back, all of it ended by an ExchangeDeadline. An
// implementation may keep its connection from one exchange to the next; it owns that
// connection and closes it when it goes. Implementations are not shared between threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "transport/exchangeDeadline.h"
#include "util/collectorAddress.h"

struct CollectorAnswer {
    bool connected = false;
    bool sent = false;
    // The answer's framing (Content-Length, chunks or the end of the connection) was read to
    // its end. Without it the answer says nothing.
    bool complete = false;
    // Status code of the final answer; 0 when none was read.
    long status = 0;
    // The body, chunks joined, without headers; at most the request's maxAnswerBytes.
    std::string body;
    // The body was longer than that and only its start was kept.
    bool cut = false;
    // The exchange ran on a connection an earlier exchange had opened.
    bool reused = false;
    // Why an exchange that did not complete failed, where the transport can say more than
    // the flags above; for the log.
    std::string failure;
};

struct CollectorRequest {
    // Most of a collector's answer that is kept.
    static constexpr size_t kMaxAnswerBytes = 64 * 1024;

    // A GET (the settings request) sends no body; a POST sends body as "application/json".
    bool get = false;
    CollectorAddress target;
    // After the address's path prefix ("/v2/log").
    std::string path;
    // Not copied: it must outlive the exchange.
    const std::string* body = nullptr;
    // The start of a longer answer is kept and the answer marked cut.
    size_t maxAnswerBytes = kMaxAnswerBytes;
};

class CollectorTransport {
public:
    // A kept connection idle for longer is not used again. Below the idle limits of common
    // servers and of mobile NATs: a connection older than that may be dead without our
    // knowing, and would cost a whole deadline before the batch could be kept.
    static constexpr std::chrono::seconds kMaxIdle{15};

    virtual ~CollectorTransport() = default;
    CollectorTransport() = default;
    CollectorTransport(const CollectorTransport&) = delete;
    CollectorTransport& operator=(const CollectorTransport&) = delete;

    // Never throws for what the network or the peer does: the answer says what happened.
    virtual CollectorAnswer exchange(const CollectorRequest& request,
                                     const ExchangeDeadline& deadline) = 0;
};

// Makes a transport for one thread's exchanges (the sending thread, the measuring thread, a
// crash report); the owner of the library hands it in, tests hand in a scripted one.
using TransportFactory = std::function<std::unique_ptr<CollectorTransport>()>;
