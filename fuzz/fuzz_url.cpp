// The settings service names the URLs the measuring thread fetches; they are split into the
// text libcurl is given and the port it connects to. The same bytes are also read as a
// collector address, which the application hands over at initialisation.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "insight/vesk2Performance.h"
#include "util/collectorAddress.h"

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "property broken: %s\n", what);
    abort();
}

// An accepted address has a host and a port, and the URL made from it reads back the same.
void checkCollectorAddress(const std::string& text) {
    const std::optional<CollectorAddress> address = parseCollectorAddress(text, 0);
    if (!address) return;
    require(!address->host.empty() && address->port != 0, "accepted without host or port");
    require(address->pathPrefix.empty() || address->pathPrefix.back() != '/',
            "path prefix ends in a slash");
    const std::optional<CollectorAddress> again = parseCollectorAddress(address->url(""), 0);
    require(again && again->https == address->https && again->host == address->host &&
                again->port == address->port && again->pathPrefix == address->pathPrefix,
            "the URL made from an address reads back differently");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);
    checkCollectorAddress(url);
    const std::string fetched = vesk2Performance::remove_port_from_url(url);
    const uint16_t port = vesk2Performance::get_port_from_url(url);
    // Port 0 would make libcurl pick the scheme's default behind our back.
    if (port == 0) {
        fprintf(stderr, "port 0 for the URL\n");
        abort();
    }
    // Dropping the port removes text; at most a scheme written with one slash gains its second.
    if (fetched.size() > url.size() + 1) {
        fprintf(stderr, "fetched text grew: %zu -> %zu\n", url.size(), fetched.size());
        abort();
    }
    return 0;
}
