// How the host address is picked from the network interfaces. The ioctl scan and the choice
// are apart so the choice can be fed any list of interfaces.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace utilNetwork {

struct InterfaceInfo {
    std::string name;
    uint32_t address = 0;  // IPv4, host byte order
    bool up = false;
};

// The interface whose address names the host; both texts are empty when none qualifies.
struct HostAddress {
    std::string address;  // dotted decimal
    std::string interfaceName;
};

// Every IPv4 entry the system lists, in its order; empty when the listing fails.
std::vector<InterfaceInfo> scanInterfaces();

// The highest private address of an interface that is up and not "lo", else the highest public
// one. Among equal addresses the first listed wins.
HostAddress chooseHostAddress(const std::vector<InterfaceInfo>& interfaces);

// systemName unless it is "localhost"; then the chosen interface address (its name becomes the
// network model) or "localhost" when there is none. scan runs only when needed.
std::string resolveHostName(const std::string& systemName,
                            const std::function<std::vector<InterfaceInfo>()>& scan);

}  // namespace utilNetwork
