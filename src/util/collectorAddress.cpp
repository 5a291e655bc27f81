#include "util/collectorAddress.h"

#include <arpa/inet.h>
#include <http_parser.h>
#include <netinet/in.h>
#include <strings.h>

namespace {

constexpr uint16_t kHttpPort = 80;
constexpr uint16_t kHttpsPort = 443;

bool has(const http_parser_url& parts, http_parser_url_fields field) {
    return (parts.field_set & (1 << field)) != 0;
}

std::string fieldOf(const std::string& text, const http_parser_url& parts,
                    http_parser_url_fields field) {
    if (!has(parts, field)) return std::string();
    return text.substr(parts.field_data[field].off, parts.field_data[field].len);
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

bool readScheme(const std::string& scheme, bool& https) {
    https = strcasecmp(scheme.c_str(), "https") == 0;
    return https || strcasecmp(scheme.c_str(), "http") == 0;
}

// Brackets hold an IPv6 address and nothing else; a name or IPv4 address has no colon.
bool isWellFormedHost(const std::string& host, bool bracketed) {
    if (host.empty()) return false;
    return bracketed ? isIpv6Literal(host) : host.find(':') == std::string::npos;
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
    if (!readScheme(fieldOf(text, parts, UF_SCHEMA), address.https)) return std::nullopt;
    address.host = fieldOf(text, parts, UF_HOST);
    if (!isWellFormedHost(address.host, isBracketed(text, parts))) return std::nullopt;
    if (has(parts, UF_PORT) && parts.port == 0) return std::nullopt;
    address.port = has(parts, UF_PORT) ? parts.port
                   : portArgument != 0 ? portArgument
                   : address.https     ? kHttpsPort
                                       : kHttpPort;
    address.pathPrefix = fieldOf(text, parts, UF_PATH);
    while (!address.pathPrefix.empty() && address.pathPrefix.back() == '/') {
        address.pathPrefix.pop_back();
    }
    return address;
}
