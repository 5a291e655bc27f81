// Stateless helpers: Base64 encoding, time stamps, formatting, trimming, C-string reading, error
// text, host name and network model.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class UtilTools {
public:
    UtilTools() = delete;

    static void encode_base64_string(const std::string& strIn, std::string& strOut);
    // The file as Base64 (a crash dump): false, with the reason in error, when it cannot be
    // opened or read, is empty or holds more than maxBytes.
    static bool readFileAsBase64(const std::string& path, size_t maxBytes, std::string& base64,
                                 std::string& error);

    static uint64_t getUTCTimeAsMillsec();
    // printf-style; the result holds at most 2046 characters.
    static std::string utilFformat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
    // The part of text between any characters of pChSep at its start and its end.
    static std::string_view trimmed(std::string_view text, const char* pChSep);
    // pChar (or defVal when null) trimmed of tabs and spaces at both ends.
    static std::string charToString(const char* pChar, const std::string& defVal);

    // Device host name and the name of the active network interface (see utilNetwork.cpp).
    static std::string getHostName();
    static std::string getNetworkModel();
};

// True when the IPv4 address uip (host byte order) lies within [low, high], dotted decimal.
bool rangeCheck(uint32_t uip, const std::string& low, const std::string& high);
