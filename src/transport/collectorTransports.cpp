#include "transport/collectorTransports.h"

#include "transport/httpsTransport.h"
#include "transport/plainHttp.h"

SchemeTransport::SchemeTransport(const std::atomic<bool>& verifyTls) : m_verifyTls(verifyTls) {}

SchemeTransport::~SchemeTransport() = default;

CollectorAnswer SchemeTransport::exchange(const CollectorRequest& request,
                                          const ExchangeDeadline& deadline) {
    if (!request.target.https) {
        if (!m_plain) m_plain = std::make_unique<plainHttp::PlainHttpTransport>();
        return m_plain->exchange(request, deadline);
    }
    const bool verify = m_verifyTls;
    if (!m_https || m_httpsVerifies != verify) {
        m_https = std::make_unique<HttpsTransport>(verify);
        m_httpsVerifies = verify;
    }
    return m_https->exchange(request, deadline);
}

TransportFactory schemeTransports(const std::atomic<bool>& verifyTls) {
    return [&verifyTls]() -> std::unique_ptr<CollectorTransport> {
        return std::make_unique<SchemeTransport>(verifyTls);
    };
}
