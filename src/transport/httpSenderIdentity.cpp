// Device identity and host name.
#include <exception>

#include "transport/httpSender.h"
#include "util/utilTools.h"

// Persistent device IDs come with device identity; until then channels carry none.
std::string HttpSender::getDeviceID() { return std::string(); }

void HttpSender::get_host() {
    try {
        std::string name = UtilTools::getHostName();
        Threads::Mutex::scoped_lock lock(m_mtxSvr);
        m_hostName = name;
    } catch (const std::exception&) {
        // The host name stays as it was.
    }
}
