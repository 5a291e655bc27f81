// Text helpers that see bytes from outside: Base64 of crash dumps, trimming of
// caller text, UTF-8 checks and conversions, and the dotted addresses of the network model.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "util/utilTools.h"
#include "util/utilUtf8.h"
#include "wellFormedUtf8.h"

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "property broken: %s\n", what);
    abort();
}

void checkBase64(const std::string& input) {
    // Four code characters for every three bytes begun, the pad only at the end.
    std::string encoded;
    UtilTools::encode_base64_string(input, encoded);
    require(encoded.size() == 4 * ((input.size() + 2) / 3), "encoded text of another length");
    const size_t pad = encoded.find('=');
    require(encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                      "0123456789+/=") == std::string::npos,
            "encoded text outside the alphabet");
    require(pad == std::string::npos || (encoded.size() - pad <= 2 &&
                                         encoded.find_first_not_of('=', pad) == std::string::npos),
            "pad before the end");

    std::string inPlace = input;
    UtilTools::encode_base64_string(inPlace, inPlace);
    require(inPlace == encoded, "encoding in place differs from encoding into another string");
}

void checkTrim(const std::string& input) {
    const std::string_view trimmed = UtilTools::trimmed(input, "\t ");
    require(input.find(trimmed) != std::string::npos, "trimmed text is not a piece of the input");
    if (!trimmed.empty()) {
        require(trimmed.front() != ' ' && trimmed.front() != '\t' && trimmed.back() != ' ' &&
                    trimmed.back() != '\t',
                "trimmed text still starts or ends with blanks");
    }
    // C strings end at their first zero byte.
    const std::string cText = UtilTools::charToString(input.c_str(), "default");
    require(cText == UtilTools::trimmed(input.c_str(), "\t "),
            "charToString differs from trimming the C string");
}

void checkUtf8(const std::string& input) {
    // The lenient check must accept all that is strictly well-formed.
    if (fuzz_support::isWellFormedUtf8(input)) {
        require(UtilUtf8::is_utf8(input), "is_utf8 refused well-formed text");
    }
    // Wide characters of any value, four input bytes each.
    std::wstring wide;
    for (size_t at = 0; at + sizeof(wchar_t) <= input.size(); at += sizeof(wchar_t)) {
        wchar_t wc = 0;
        memcpy(&wc, input.data() + at, sizeof wc);
        wide += wc;
    }
    const std::string narrow = UtilUtf8::utf16_2_utf8(wide);
    require(narrow.size() <= 4 * wide.size(), "utf16_2_utf8 wrote more than four bytes each");
    require(narrow.find('\0') == std::string::npos, "utf16_2_utf8 kept a zero byte");
}

// Addresses in the network model's ranges come as text; one the C library reads lies within
// the range it spans alone, and text it cannot read matches nothing.
void checkRange(const std::string& input) {
    const std::string address = input.substr(0, input.find('\n'));
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        require(!rangeCheck(0, address, "255.255.255.255"), "unreadable text matched a range");
        return;
    }
    require(rangeCheck(ntohl(parsed.s_addr), address, address),
            "an address lies outside its own range");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    checkBase64(input);
    checkTrim(input);
    checkUtf8(input);
    checkRange(input);
    return 0;
}
