// HTTPS to a collector through libcurl. One easy handle serves every exchange of the transport,
// so libcurl keeps the connection and the TLS session between them; the options are set anew
// for each exchange and the handle forgets them afterwards.
#pragma once

#include "transport/transport.h"
#include "util/curlEasy.h"

class HttpsTransport : public CollectorTransport {
public:
    // verifyTls: the collector's certificate and name are checked against the trust in force
    // (util/tlsTrust.h). Connections made under one setting are never reused under the other.
    explicit HttpsTransport(bool verifyTls);

    bool verifiesTls() const { return m_verifyTls; }
    CollectorAnswer exchange(const CollectorRequest& request,
                             const ExchangeDeadline& deadline) override;

    // Connecting alone ends after this; the exchange as a whole by its deadline.
    static constexpr long kConnectTimeoutSeconds = 10;

private:
    bool m_verifyTls;
    // Made at the first exchange; null while libcurl could not make one.
    CurlHandle m_handle;
};
