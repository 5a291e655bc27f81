#include "transport/deviceIdentity.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <mutex>

#include "util/uniqueFile.h"
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

// A directory in the ID file's place holds no ID; treating it as absent gives the channel an
// ID for this run instead of none.
bool _isDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool _exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool _writeFile(const std::string& path, const std::string& text) {
    if (path.empty() || text.empty()) return false;
    UniqueFile file(fopen(path.c_str(), "w"));
    if (!file) return false;
    const bool written = fwrite(text.data(), 1, text.size(), file.get()) == text.size();
    // A failed flush (full disk) must not pass for a written file.
    return fclose(file.release()) == 0 && written;
}

// The first line, at most 255 bytes, line end included.
std::string _readLine(const std::string& path) {
    UniqueFile file(fopen(path.c_str(), "r"));
    if (!file) return std::string();
    char line[256] = {0};
    if (fgets(line, sizeof line, file.get()) == nullptr) return std::string();
    return line;
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
    if (_exists(idPath) && !_isDirectory(idPath)) {
        // Kept exactly as read, line end included: earlier records carried it so.
        std::string id = _readLine(idPath);
        if (id.empty()) _warn_log("[setHandler] deviceId read failed");
        return id;
    }
    std::string id = makeDeviceId();
    if (!_writeFile(idPath, id)) _warn_log("[setHandler] getDeviceID write Failed");
    return id;
}
