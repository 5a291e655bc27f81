// Host name and network model of the device.
#include "util/utilNetwork.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "util/noDestructor.h"
#include "util/utilTools.h"

namespace {

// Name of the interface the host address was taken from; "unknown" until one is chosen. The
// sending thread sets it while other threads complete records with it.
struct NetworkModel {
    std::mutex mutex;
    std::string name{"unknown"};
};
NoDestructor<NetworkModel> g_networkModel;

void setNetworkModel(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_networkModel->mutex);
    g_networkModel->name = name;
}

class Socket {
public:
    Socket() : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {}
    ~Socket() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

constexpr size_t kFirstEntries = 100;
constexpr size_t kMoreEntries = 10;
// Bounds the retries: a system that keeps refusing the listing must not keep us here.
constexpr size_t kMostEntries = 4096;

// The interface list of SIOCGIFCONF. Linux cuts the list silently when the buffer is too small,
// so a full buffer is retried with a larger one too.
bool listInterfaces(int fd, std::vector<struct ifreq>& entries) {
    size_t count = kFirstEntries;
    for (;;) {
        std::vector<struct ifreq> buffer(count);
        struct ifconf conf;
        memset(&conf, 0, sizeof conf);
        conf.ifc_len = static_cast<int>(buffer.size() * sizeof(struct ifreq));
        conf.ifc_req = buffer.data();
        const bool failed = ::ioctl(fd, SIOCGIFCONF, &conf) < 0;
        if (failed && errno != EINVAL && errno != EFAULT) return false;
        const size_t used = failed ? 0 : static_cast<size_t>(conf.ifc_len) / sizeof(struct ifreq);
        if (!failed && (used < count || count >= kMostEntries)) {
            buffer.resize(used);
            entries.swap(buffer);
            return true;
        }
        if (count >= kMostEntries) return false;
        count = failed ? count + kMoreEntries : count * 2;
    }
}

bool isUp(int fd, const struct ifreq& entry) {
    struct ifreq request;
    memset(&request, 0, sizeof request);
    memcpy(request.ifr_name, entry.ifr_name, sizeof request.ifr_name);
    if (::ioctl(fd, SIOCGIFFLAGS, &request) < 0) return false;
    return (request.ifr_flags & IFF_UP) != 0;
}

bool isPrivate(uint32_t address) {
    return rangeCheck(address, "10.0.0.0", "10.255.255.255") ||
           rangeCheck(address, "172.16.0.0", "172.31.255.255") ||
           rangeCheck(address, "192.168.0.0", "192.168.255.255");
}

std::string dottedText(uint32_t address) {
    struct in_addr raw;
    raw.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {0};
    if (inet_ntop(AF_INET, &raw, text, sizeof text) == nullptr) return std::string();
    return text;
}

}  // namespace

namespace utilNetwork {

std::vector<InterfaceInfo> scanInterfaces() {
    std::vector<InterfaceInfo> found;
    Socket probe;
    if (probe.fd() < 0) return found;
    std::vector<struct ifreq> entries;
    if (!listInterfaces(probe.fd(), entries)) return found;
    for (const struct ifreq& entry : entries) {
        if (entry.ifr_addr.sa_family != AF_INET) continue;
        struct sockaddr_in address;
        memcpy(&address, &entry.ifr_addr, sizeof address);
        InterfaceInfo info;
        info.name.assign(entry.ifr_name, strnlen(entry.ifr_name, sizeof entry.ifr_name));
        info.address = ntohl(address.sin_addr.s_addr);
        info.up = isUp(probe.fd(), entry);
        found.push_back(info);
    }
    return found;
}

HostAddress chooseHostAddress(const std::vector<InterfaceInfo>& interfaces) {
    const InterfaceInfo* bestPrivate = nullptr;
    const InterfaceInfo* bestPublic = nullptr;
    for (const InterfaceInfo& entry : interfaces) {
        if (!entry.up || entry.name == "lo") continue;
        const InterfaceInfo*& keeper = isPrivate(entry.address) ? bestPrivate : bestPublic;
        // Strictly higher only: 0.0.0.0 never qualifies and the first of equals stays.
        if (entry.address > (keeper != nullptr ? keeper->address : 0)) keeper = &entry;
    }
    const InterfaceInfo* winner = bestPrivate != nullptr ? bestPrivate : bestPublic;
    if (winner == nullptr) return HostAddress();
    return HostAddress{dottedText(winner->address), winner->name};
}

std::string resolveHostName(const std::string& systemName,
                            const std::function<std::vector<InterfaceInfo>()>& scan) {
    if (systemName != "localhost") return systemName;
    const HostAddress chosen = chooseHostAddress(scan());
    if (chosen.address.empty()) return systemName;
    // The model names the interface the host address came from, so the two always agree.
    setNetworkModel(chosen.interfaceName);
    return chosen.address;
}

}  // namespace utilNetwork

std::string UtilTools::getHostName() {
    char buffer[256];
    memset(buffer, 0, sizeof buffer);
    if (gethostname(buffer, sizeof buffer - 1) != 0) strcpy(buffer, "localhost");
    return utilNetwork::resolveHostName(buffer, utilNetwork::scanInterfaces);
}

std::string UtilTools::getNetworkModel() {
    std::lock_guard<std::mutex> lock(g_networkModel->mutex);
    return g_networkModel->name;
}
