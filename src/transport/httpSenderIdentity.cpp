// Device identity and host name.
#include <sys/stat.h>

#include <exception>
#include <mutex>

#include "transport/httpSender.h"
#include "util/utilLog.h"
#include "util/utilRandom.h"
#include "util/utilTools.h"

namespace {

// The letters run n before m, in both cases; IDs made so far use this order.
constexpr const char* kAlphabet = UtilRandom::kIdAlphabet;
constexpr size_t kRandomLength = 18;

// Base64 of the current time in milliseconds; empty when the time cannot be had.
std::string _encodedNow() {
    std::string now;
    try {
        now = UtilTools::utilFformat("%lld",
                                     static_cast<long long>(UtilTools::getUTCTimeAsMillsec()));
    } catch (const std::exception&) {
        _warn_log("[getDeivceID] getUTCTimeAsMillsec failed");
        return std::string();
    }
    std::string encoded;
    UtilTools::encode_base64_string(now, encoded);
    return encoded;
}

// A directory in the ID file's place holds no ID; treating it as absent gives the channel an
// ID for this run instead of none.
bool _isDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

std::string HttpSender::getDeviceID() {
    const std::string encodedNow = _encodedNow();
    std::string id = UtilRandom::drawText(kRandomLength, kAlphabet);
    id[8] = '-';
    id[13] = '-';
    // The last two characters of the encoded 13-digit time are always padding.
    if (encodedNow.size() >= 2) id += "-" + encodedNow.substr(0, encodedNow.size() - 2);
    return id;
}

std::string HttpSender::loadDeviceID(const std::string& idPath) {
    if (idPath.empty()) return getDeviceID();  // send-only: an ID for this run, kept nowhere
    if (check_file(idPath) && !_isDirectory(idPath)) {
        // Kept exactly as read, line end included: earlier records carried it so.
        std::string id = read_file(idPath);
        if (id.empty()) _warn_log("[setHandler] deviceId read failed");
        return id;
    }
    std::string id = getDeviceID();
    if (!write_file(idPath, id)) _warn_log("[setHandler] getDeviceID write Failed");
    return id;
}

std::string HttpSender::setUpDeviceID(const std::string& handlerName, const std::string& idPath) {
    const std::string id = loadDeviceID(idPath);
    {
        std::lock_guard lock(m_mtxSvr);
        if (Handler* channel = _findChannel(handlerName)) {
            channel->m_deviceID = id;
            channel->fieldsChanged();
        }
    }
    crashRecordInputsChanged(handlerName);
    return id;
}

void HttpSender::get_host() {
    try {
        std::string name = UtilTools::getHostName();
        std::lock_guard lock(m_mtxSvr);
        m_hostName = name;
    } catch (const std::exception&) {
        // The host name stays as it was.
    }
    crashRecordInputsChanged(VESK_CHANNEL_USER);
}
