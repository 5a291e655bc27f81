// The collector address given at initialisation, read as a URL: scheme, host, port and the path
// that comes before "/v2/log". Plain HTTP and HTTPS read it the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct CollectorAddress {
    bool https = false;
    // A name or an address; an IPv6 literal without its brackets.
    std::string host;
    uint16_t port = 0;
    // "" or "/a/b": what comes before the request path, without a final '/'.
    std::string pathPrefix;

    // "host:port", with an IPv6 literal in brackets, as the Host header and a URL name it.
    std::string authority() const;
    // Scheme, authority, path prefix and path: what libcurl is given.
    std::string url(const std::string& path) const;
};

// Longest address accepted; the URL parser's offsets are 16 bits wide.
constexpr size_t kMaxCollectorAddressBytes = 2048;

// Reads "http[s]://host[:port][/path]", scheme in any case. A port named in the address wins
// over portArgument; with neither (portArgument 0), the scheme's default port. Nothing when the
// text is not such a URL: another scheme, no host, a user name, a query or fragment, port 0, a
// bracketed host that is not an IPv6 address, or text longer than kMaxCollectorAddressBytes.
std::optional<CollectorAddress> parseCollectorAddress(const std::string& text,
                                                      uint16_t portArgument);
