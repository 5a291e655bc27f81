// Host name and network model of the device.
#include <unistd.h>

#include <cstring>
#include <string>

#include "util/noDestructor.h"
#include "util/utilTools.h"

namespace {
// Name of the network interface the host address was taken from; "unknown" until found.
NoDestructor<std::string> g_networkModel("unknown");
}  // namespace

std::string UtilTools::getHostName() {
    char buffer[256];
    memset(buffer, 0, sizeof buffer);
    if (gethostname(buffer, sizeof buffer - 1) != 0) strcpy(buffer, "localhost");
    // A host that only calls itself "localhost" is to be named by its best interface address;
    // that scan of the interfaces is not done yet, so the name stands as it is.
    return buffer;
}

std::string UtilTools::getNetworkModel() { return *g_networkModel; }
