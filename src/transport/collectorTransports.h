// The transports the library ships: plain HTTP over our own socket code and HTTPS through
// libcurl, chosen per exchange by the scheme of its address.
#pragma once

#include <atomic>
#include <memory>

#include "transport/transport.h"

// One transport of each kind, made at the first exchange of its scheme; each keeps its
// connection for the next exchange and closes it when this goes. The HTTPS one is made anew
// when verifyTls changes: connections made under one setting are not for the other.
class SchemeTransport : public CollectorTransport {
public:
    explicit SchemeTransport(const std::atomic<bool>& verifyTls);
    ~SchemeTransport() override;

    CollectorAnswer exchange(const CollectorRequest& request,
                             const ExchangeDeadline& deadline) override;

private:
    const std::atomic<bool>& m_verifyTls;
    std::unique_ptr<CollectorTransport> m_plain;
    std::unique_ptr<CollectorTransport> m_https;
    bool m_httpsVerifies = false;
};

// Makes SchemeTransports that follow verifyTls, which must outlive them.
TransportFactory schemeTransports(const std::atomic<bool>& verifyTls);
