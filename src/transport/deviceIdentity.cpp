#include "transport/deviceIdentity.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <mutex>

#include "util/boundedFile.h"
#include "util/utilLog.h"
#include "util/utilRandom.h"
#include "util/utilTools.h"

namespace {

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

// Only a regular file holds an ID: anything else in its place (a directory, a link, a FIFO)
// gives the channel an ID for this run instead of none, and is left alone.
bool _isRegularFile(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The first line, at most 255 bytes, line end included.
std::string _readLine(const std::string& path) {
    std::string text;
    if (!boundedFile::readStart(path, 255, text)) return std::string();
    const size_t lineEnd = text.find('\n');
    if (lineEnd != std::string::npos) text.resize(lineEnd + 1);
    return text.substr(0, text.find('\0'));
}

}  // namespace

std::string makeDeviceId() {
    const std::string encodedNow = _encodedNow();
    std::string id = UtilRandom::drawText(kRandomLength, UtilRandom::kIdAlphabet);
    id[8] = '-';
    id[13] = '-';
    // The last two characters of the encoded 13-digit time are always padding.
    if (encodedNow.size() >= 2) id += "-" + encodedNow.substr(0, encodedNow.size() - 2);
    return id;
}

std::string loadDeviceId(const std::string& idPath) {
    if (idPath.empty()) return makeDeviceId();  // send-only: an ID for this run, kept nowhere
    if (_isRegularFile(idPath)) {
        // Kept exactly as read, line end included: earlier records carried it so.
        std::string id = _readLine(idPath);
        if (id.empty()) _warn_log("[setHandler] deviceId read failed");
        return id;
    }
    std::string id = makeDeviceId();
    if (!boundedFile::writeWhole(idPath, id)) _warn_log("[setHandler] getDeviceID write Failed");
    return id;
}
