#include "util/collectorAddress.h"

#include <arpa/inet.h>
#include <http_parser.h>
#include <netinet/in.h>
#include <strings.h>

namespace {

constexpr uint16_t kHttpPort = 80;
constexpr uint16_t kHttpsPort = 443;

std::string fieldOf(const std::string& text, const http_parser_url& parts,
                    http_parser_url_fields f) {
    if ((parts.field_set & (1 << f)) == 0) return std::string();
    return text.substr(parts.field_data[f].off, parts.field_data[f].len);
}

bool has(const http_parser_url& parts, http_parser_url_fields field) {
    return (parts.field_set & (1 << field)) != 0;
}

// The URL parser checks the characters of a bracketed host only; the address itself must be
// one too, or connecting would fail later with nothing said.
bool isIpv6Literal(const std::string& host) {
    in6_addr address;
    return inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

bool isBracketed(const std::string& text, const http_parser_url& parts) {
    const size_t start = parts.field_data[UF_HOST].off;
    return start > 0 && text[start - 1] == '[';
}

}  // namespace

std::string CollectorAddress::authority() const {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string CollectorAddress::url(const std::string& path) const {
    return (https ? "https://" : "http://") + authority() + pathPrefix + path;
}

std::optional<CollectorAddress> parseCollectorAddress(const std::string& text,
                                                      uint16_t portArgument) {
    if (text.empty() || text.size() > kMaxCollectorAddressBytes) return std::nullopt;
    http_parser_url parts;
    http_parser_url_init(&parts);
    if (http_parser_parse_url(text.data(), text.size(), 0, &parts) != 0) return std::nullopt;
    if (!has(parts, UF_SCHEMA) || !has(parts, UF_HOST) || has(parts, UF_USERINFO) ||
        has(parts, UF_QUERY) || has(parts, UF_FRAGMENT)) {
        return std::nullopt;
    }
    CollectorAddress address;
    const std::string scheme = fieldOf(text, parts, UF_SCHEMA);
    if (strcasecmp(scheme.c_str(), "https") == 0) {
        address.https = true;
    } else if (strcasecmp(scheme.c_str(), "http") != 0) {
        return std::nullopt;
    }
    address.host = fieldOf(text, parts, UF_HOST);
    if (address.host.empty()) return std::nullopt;
    if (isBracketed(text, parts) != (address.host.find(':') != std::string::npos)) {
        return std::nullopt;
    }
    if (isBracketed(text, parts) && !isIpv6Literal(address.host)) return std::nullopt;
    if (has(parts, UF_PORT)) {
        if (parts.port == 0) return std::nullopt;
        address.port = parts.port;
    } else if (portArgument != 0) {
        address.port = portArgument;
    } else {
        address.port = address.https ? kHttpsPort : kHttpPort;
    }
    address.pathPrefix = fieldOf(text, parts, UF_PATH);
    while (!address.pathPrefix.empty() && address.pathPrefix.back() == '/') {
        address.pathPrefix.pop_back();
    }
    return address;
}
