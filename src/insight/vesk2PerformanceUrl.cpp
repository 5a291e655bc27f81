// Splitting a URL to measure into the text libcurl fetches and the port it connects to.
#include <cstdint>
#include <string>
#include <vector>

#include "insight/vesk2Performance.h"

namespace {

const uint16_t kHttpPort = 80;
const uint16_t kHttpsPort = 443;

// Runs of the separator count as one and empty pieces are dropped, so "http://h//a/" gives
// "http:", "h" and "a". A plain loop: strtok would share its state with every other thread.
std::vector<std::string> _splitNonEmpty(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

struct Authority {
    std::string userInfo;  // with its "@"
    std::string host;      // an IPv6 literal keeps its brackets
    std::string port;      // the text after the host's ":", possibly not a number
    bool hasPort = false;
};

// An IPv6 literal holds colons of its own, so only a colon after its "]" starts the port.
Authority _splitAuthority(const std::string& text) {
    Authority authority;
    const size_t at = text.rfind('@');
    const size_t hostStart = at == std::string::npos ? 0 : at + 1;
    authority.userInfo = text.substr(0, hostStart);
    const std::string hostPort = text.substr(hostStart);
    size_t colon = std::string::npos;
    if (!hostPort.empty() && hostPort[0] == '[') {
        const size_t close = hostPort.find(']');
        if (close != std::string::npos && close + 1 < hostPort.size() && hostPort[close + 1] == ':')
            colon = close + 1;
    } else {
        colon = hostPort.find(':');
    }
    authority.host = hostPort.substr(0, colon);
    if (colon != std::string::npos) {
        authority.hasPort = true;
        authority.port = hostPort.substr(colon + 1);
    }
    return authority;
}

std::string _lowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool _hasScheme(const std::vector<std::string>& parts) {
    return !parts.empty() && parts[0].back() == ':';
}

// The part that names the host: the one after the scheme, or the first without a scheme.
size_t _authorityIndex(const std::vector<std::string>& parts) { return _hasScheme(parts) ? 1 : 0; }

// 1 to 65535 written in plain decimal digits; 0 for anything else.
uint16_t _portNumber(const std::string& text) {
    if (text.empty() || text.size() > 5) return 0;
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    return value <= 65535 ? static_cast<uint16_t>(value) : 0;
}

}  // namespace

std::string vesk2Performance::remove_port_from_url(const std::string& url) {
    const std::vector<std::string> parts = _splitNonEmpty(url, '/');
    const size_t index = _authorityIndex(parts);
    if (parts.size() <= index) return url;
    const Authority authority = _splitAuthority(parts[index]);
    std::string result;
    if (index == 1) result = parts[0] + "//";
    result += authority.userInfo + authority.host;
    for (size_t i = index + 1; i < parts.size(); ++i) result += "/" + parts[i];
    return result;
}

uint16_t vesk2Performance::get_port_from_url(const std::string& url) {
    const std::vector<std::string> parts = _splitNonEmpty(url, '/');
    const size_t index = _authorityIndex(parts);
    if (parts.size() > index) {
        const uint16_t port = _portNumber(_splitAuthority(parts[index]).port);
        if (port != 0) return port;
    }
    return _hasScheme(parts) && _lowerCase(parts[0]) == "https:" ? kHttpsPort : kHttpPort;
}
