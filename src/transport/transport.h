// One exchange with a collector: a JSON body posted to a path of its address, the answer read
// back, all of it ended by an ExchangeDeadline. An implementation may keep its connection from
// one exchange to the next; it owns that connection and closes it when it goes.
#pragma once

#include <chrono>
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
    // The body, chunks joined, without headers; at most HttpSender::kMaxAnswerBytes.
    std::string body;
    // The body was longer than that and only its start was kept.
    bool cut = false;
    // The exchange ran on a connection an earlier exchange had opened.
    bool reused = false;
    // Why an exchange that did not complete failed, where the transport can say more than
    // the flags above; for the log.
    std::string failure;
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

    // POSTs body as "application/json" to collector's address + path ("/v2/log"). Never
    // throws for what the network or the peer does: the answer says what happened.
    virtual CollectorAnswer post(const CollectorAddress& collector, const std::string& path,
                                 const std::string& body, const ExchangeDeadline& deadline) = 0;
};
