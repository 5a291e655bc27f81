// The settings service names the URLs the measuring thread fetches; they are split into the
// text libcurl is given and the port it connects to.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "insight/vesk2Performance.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string url(reinterpret_cast<const char*>(data), size);
    const std::string fetched = vesk2Performance::remove_port_form_url(url);
    const uint16_t port = vesk2Performance::get_port_form_url(url);
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
