// Which interface address names a host that only calls itself "localhost", the network model
// that goes with it, and the system interface scan compared with getifaddrs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "util/utilNetwork.h"
#include "util/utilTools.h"

using utilNetwork::chooseHostAddress;
using utilNetwork::InterfaceInfo;
using utilNetwork::resolveHostName;

namespace {

InterfaceInfo interfaceAt(const std::string& name, const char* dotted, bool up = true) {
    struct in_addr raw;
    EXPECT_EQ(1, inet_pton(AF_INET, dotted, &raw)) << dotted;
    return InterfaceInfo{name, ntohl(raw.s_addr), up};
}

struct ChoiceCase {
    const char* what;
    std::vector<InterfaceInfo> interfaces;
    std::string address;
    std::string interfaceName;
};

}  // namespace

TEST(HostAddressChoice, PrivateBeatsPublicHigherWinsAndUnusableInterfacesAreSkipped) {
    const std::vector<ChoiceCase> cases = {
        {"higher private address wins, lo skipped",
         {interfaceAt("lo", "127.0.0.1"), interfaceAt("wlan0", "192.168.1.20"),
          interfaceAt("rmnet0", "10.12.0.7")},
         "192.168.1.20",
         "wlan0"},
        {"only a public address", {interfaceAt("rmnet0", "100.64.3.9")}, "100.64.3.9", "rmnet0"},
        {"private wins over a higher public one listed later",
         {interfaceAt("wlan0", "10.0.0.2"), interfaceAt("rmnet0", "203.0.113.5")},
         "10.0.0.2",
         "wlan0"},
        {"a down interface is ignored even when higher",
         {interfaceAt("wlan0", "10.1.1.1"), interfaceAt("eth0", "192.168.7.7", false)},
         "10.1.1.1",
         "wlan0"},
        {"lo is skipped whatever its address",
         {interfaceAt("lo", "192.168.9.9"), interfaceAt("rmnet0", "10.0.0.9")},
         "10.0.0.9",
         "rmnet0"},
        {"private ranges end where they should",
         {interfaceAt("a", "172.32.0.1"), interfaceAt("b", "172.16.0.0"),
          interfaceAt("c", "11.0.0.1")},
         "172.16.0.0",
         "b"},
        {"upper ends of the private ranges are private",
         {interfaceAt("a", "223.1.1.1"), interfaceAt("b", "172.31.255.255"),
          interfaceAt("c", "10.255.255.255")},
         "172.31.255.255",
         "b"},
        {"first of two equal addresses stays",
         {interfaceAt("wlan0", "10.0.0.5"), interfaceAt("eth0", "10.0.0.5")},
         "10.0.0.5",
         "wlan0"},
        {"0.0.0.0 never qualifies", {interfaceAt("eth0", "0.0.0.0")}, "", ""},
        {"nothing up",
         {interfaceAt("lo", "127.0.0.1"), interfaceAt("wlan0", "10.0.0.1", false)},
         "",
         ""},
        {"no interfaces", {}, "", ""},
    };
    for (const ChoiceCase& c : cases) {
        const utilNetwork::HostAddress chosen = chooseHostAddress(c.interfaces);
        EXPECT_EQ(c.address, chosen.address) << c.what;
        EXPECT_EQ(c.interfaceName, chosen.interfaceName) << c.what;
    }
}

// The network model is process-wide, so the three cases run in one test in a fixed order.
TEST(HostName, SystemNameUnlessLocalhostThenChosenAddressAndItsInterfaceAsModel) {
    int scans = 0;
    const auto wifiAndCellular = [&scans] {
        ++scans;
        return std::vector<InterfaceInfo>{interfaceAt("rmnet0", "100.70.1.2"),
                                          interfaceAt("wlan0", "192.168.1.20")};
    };
    const std::string modelBefore = UtilTools::getNetworkModel();
    EXPECT_EQ("phone-7", resolveHostName("phone-7", wifiAndCellular));
    EXPECT_EQ(0, scans);
    EXPECT_EQ(modelBefore, UtilTools::getNetworkModel());

    EXPECT_EQ("localhost", resolveHostName("localhost", [&scans] {
                  ++scans;
                  return std::vector<InterfaceInfo>{interfaceAt("wlan0", "10.0.0.1", false)};
              }));
    EXPECT_EQ(1, scans);
    EXPECT_EQ(modelBefore, UtilTools::getNetworkModel());

    EXPECT_EQ("192.168.1.20", resolveHostName("localhost", wifiAndCellular));
    EXPECT_EQ(2, scans);
    EXPECT_EQ("wlan0", UtilTools::getNetworkModel());
}

TEST(InterfaceScan, ListsTheSameIpv4InterfacesAsGetifaddrs) {
    struct ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) GTEST_SKIP() << "getifaddrs is not available here";
    std::unique_ptr<struct ifaddrs, void (*)(struct ifaddrs*)> list(raw, freeifaddrs);
    std::set<std::tuple<std::string, uint32_t, bool>> expected;
    for (const struct ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        const auto* address = reinterpret_cast<const struct sockaddr_in*>(entry->ifa_addr);
        expected.emplace(entry->ifa_name, ntohl(address->sin_addr.s_addr),
                         (entry->ifa_flags & IFF_UP) != 0);
    }
    if (expected.empty()) GTEST_SKIP() << "no IPv4 interface to compare";
    std::set<std::tuple<std::string, uint32_t, bool>> scanned;
    for (const InterfaceInfo& info : utilNetwork::scanInterfaces()) {
        scanned.emplace(info.name, info.address, info.up);
    }
    EXPECT_EQ(expected, scanned);
}
