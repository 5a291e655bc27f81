// What the measuring thread fetches for a URL: the text without the host's port, and the port.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "insight/vesk2Performance.h"

namespace {

struct UrlCase {
    const char* url;
    const char* fetched;
    uint16_t port;
};

void PrintTo(const UrlCase& urlCase, std::ostream* out) { *out << '"' << urlCase.url << '"'; }

class UrlSplit : public ::testing::TestWithParam<UrlCase> {};

}  // namespace

TEST_P(UrlSplit, TextAndPort) {
    const UrlCase& param = GetParam();
    EXPECT_EQ(param.fetched, vesk2Performance::remove_port_from_url(param.url));
    EXPECT_EQ(param.port, vesk2Performance::get_port_from_url(param.url));
}

INSTANTIATE_TEST_SUITE_P(
    Common, UrlSplit,
    ::testing::Values(UrlCase{"http://h:8080/a/b", "http://h/a/b", 8080},
                      UrlCase{"https://h:8080/p", "https://h/p", 8080},
                      UrlCase{"https://h/p", "https://h/p", 443},
                      UrlCase{"HTTPS://h/p", "HTTPS://h/p", 443},
                      UrlCase{"http://h", "http://h", 80}, UrlCase{"http://h:81", "http://h", 81},
                      // Runs of "/" and a trailing "/" are dropped.
                      UrlCase{"http://h/a/", "http://h/a", 80},
                      UrlCase{"http://h//a///b", "http://h/a/b", 80},
                      UrlCase{"http://127.0.0.1:5000/x?q=1", "http://127.0.0.1/x?q=1", 5000}));

// An explicit port wins, and only the scheme chooses the default: "https" elsewhere in the
// text, or a port that equals 80, must not send a plain request to 443.
INSTANTIATE_TEST_SUITE_P(Ports, UrlSplit,
                         ::testing::Values(UrlCase{"https://h:80/x", "https://h/x", 80},
                                           UrlCase{"http://h/https", "http://h/https", 80},
                                           UrlCase{"http://h:80/https", "http://h/https", 80},
                                           UrlCase{"http://h/path:99/x", "http://h/path:99/x", 80},
                                           UrlCase{"https://h:443/x", "https://h/x", 443}));

// Odd texts: nothing crashes, the port is either one the text names clearly or the default.
INSTANTIATE_TEST_SUITE_P(
    Odd, UrlSplit,
    ::testing::Values(
        UrlCase{"", "", 80}, UrlCase{"h", "h", 80}, UrlCase{"/", "/", 80},
        UrlCase{"h:8080/p", "h/p", 8080}, UrlCase{"h:8080", "h", 8080},
        UrlCase{"http:", "http:", 80}, UrlCase{"http://[::1]:8080/x", "http://[::1]/x", 8080},
        UrlCase{"http://[::1]/x", "http://[::1]/x", 80},
        UrlCase{"https://[2001:db8::2]", "https://[2001:db8::2]", 443},
        UrlCase{"http://h:abc/x", "http://h/x", 80},
        UrlCase{"https://h:8o8o/x", "https://h/x", 443},
        UrlCase{"http://h:70000/x", "http://h/x", 80}, UrlCase{"http://h:0/x", "http://h/x", 80},
        UrlCase{"http://h:-1/x", "http://h/x", 80}, UrlCase{"http://h:/x", "http://h/x", 80},
        UrlCase{"http://user:pw@h:81/x", "http://user:pw@h/x", 81}));
