// Stateless helpers: Base64 encoding, time stamps, formatting, trimming, C-string reading,
// error text and the IPv4 range check used by the host-name code (utilNetwork.cpp).
#include "util/utilTools.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "util/boundedFile.h"

namespace {

// The 64 code characters of RFC 4648 section 4 (index 0 to 63), then the pad '=' (index 64).
const char g_pCodes[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// Fills out (already sized to exactly 4 * ((n + 2) / 3) characters) with the encoding of
// the n bytes at in.
void _encodeInto(const uint8_t* in, size_t n, char* out) {
    size_t i = 0;
    size_t o = 0;
    for (; i + 3 <= n; i += 3) {
        const uint8_t a = in[i];
        const uint8_t b = in[i + 1];
        const uint8_t c = in[i + 2];
        out[o++] = g_pCodes[a >> 2];
        out[o++] = g_pCodes[((a & 3) << 4) | (b >> 4)];
        out[o++] = g_pCodes[((b & 15) << 2) | (c >> 6)];
        out[o++] = g_pCodes[c & 63];
    }
    const size_t rest = n - i;
    if (rest == 1) {
        const uint8_t a = in[i];
        out[o++] = g_pCodes[a >> 2];
        out[o++] = g_pCodes[(a & 3) << 4];
        out[o++] = g_pCodes[64];
        out[o++] = g_pCodes[64];
    } else if (rest == 2) {
        const uint8_t a = in[i];
        const uint8_t b = in[i + 1];
        out[o++] = g_pCodes[a >> 2];
        out[o++] = g_pCodes[((a & 3) << 4) | (b >> 4)];
        out[o++] = g_pCodes[(b & 15) << 2];
        out[o++] = g_pCodes[64];
    }
}

void _encode(const uint8_t* pBuffer, size_t uiSize, std::string& strOut) {
    if (pBuffer == nullptr || uiSize == 0) {
        strOut.clear();
        return;
    }
    // Computed in 64 bits: 4 * ((n + 2) / 3) does not fit 32 bits for the largest n.
    const uint64_t outLen = 4 * ((static_cast<uint64_t>(uiSize) + 2) / 3);
    if (outLen > strOut.max_size()) {  // cannot be represented: no exception, no output
        strOut.clear();
        return;
    }
    strOut.clear();
    strOut.reserve(static_cast<size_t>(outLen));
    strOut.resize(static_cast<size_t>(outLen));
    _encodeInto(pBuffer, uiSize, &strOut[0]);
}

}  // namespace

void UtilTools::encode_base64_string(const std::string& strIn, std::string& strOut) {
    if (&strIn == &strOut) {  // encoding a string into itself: read from a copy
        const std::string copy(strIn);
        _encode(reinterpret_cast<const uint8_t*>(copy.data()), copy.size(), strOut);
        return;
    }
    _encode(reinterpret_cast<const uint8_t*>(strIn.data()), strIn.size(), strOut);
}

uint64_t UtilTools::getUTCTimeAsMillsec() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000 + static_cast<uint64_t>(tv.tv_usec) / 1000;
}

std::string UtilTools::utilFformat(const char* fmt, ...) {
    if (fmt == nullptr) return std::string();
    char buffer[2048] = {0};
    va_list args;
    va_start(args, fmt);
    vsnprintf(buffer, sizeof(buffer) - 1, fmt, args);  // at most 2046 characters and a zero
    va_end(args);
    return std::string(buffer);
}

std::string_view UtilTools::trimmed(std::string_view text, const char* pChSep) {
    const size_t first = text.find_first_not_of(pChSep);
    if (first == std::string_view::npos) return text.substr(text.size());
    return text.substr(first, text.find_last_not_of(pChSep) - first + 1);
}

std::string UtilTools::charToString(const char* pChar, const std::string& defVal) {
    return std::string(trimmed(pChar != nullptr ? std::string_view(pChar) : defVal, "\t "));
}

bool rangeCheck(uint32_t uip, const std::string& low, const std::string& high) {
    struct in_addr lowAddr;
    struct in_addr highAddr;
    // A text that is not a dotted-decimal IPv4 address matches nothing.
    if (inet_pton(AF_INET, low.c_str(), &lowAddr) != 1) return false;
    if (inet_pton(AF_INET, high.c_str(), &highAddr) != 1) return false;
    const uint32_t lo = ntohl(lowAddr.s_addr);
    const uint32_t hi = ntohl(highAddr.s_addr);
    return lo <= uip && uip <= hi;
}

bool UtilTools::readFileAsBase64(const std::string& path, size_t maxBytes, std::string& base64,
                                 std::string& error) {
    std::string bytes;
    if (!boundedFile::readWhole(path, maxBytes, bytes)) {
        if (errno == EFBIG) {
            struct stat info {};
            ::lstat(path.c_str(), &info);
            error = "Get file size(" + std::to_string(info.st_size) + ") is failed.";
        } else {
            error = "Open file(" + path + ") is failed: " + boundedFile::errorText(errno);
        }
        return false;
    }
    if (bytes.empty()) {
        error = "Get file size(0) is failed.";
        return false;
    }
    encode_base64_string(bytes, base64);
    return true;
}
