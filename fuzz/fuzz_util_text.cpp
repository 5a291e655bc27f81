// Text helpers that see bytes from outside: Base64 (crash dumps, stored data), trimming of
// caller text, UTF-8 checks and conversions, and the dotted addresses of the network model.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

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
    // Exactly the room the header promises, so AddressSanitizer sees any byte written past it.
    const size_t capacity = 3 * (input.size() / 4);
    const auto buffer = std::make_unique<uint8_t[]>(capacity);
    uint32_t decodedSize = 0xFFFFFFFF;
    UtilTools::decode_base64(input, buffer.get(), decodedSize);
    require(decodedSize <= capacity, "decode_base64 reports more bytes than its room");

    std::string decoded;
    UtilTools::decode_base64_string(input, decoded);
    require(decoded.size() <= capacity, "decode_base64_string longer than its input allows");

    std::string inPlace = input;
    UtilTools::decode_base64_string(inPlace, inPlace);
    require(inPlace == decoded, "decoding in place differs from decoding into another string");

    // The input as raw bytes survives a round trip.
    std::string encoded;
    UtilTools::encode_base64(reinterpret_cast<const uint8_t*>(input.data()),
                             static_cast<uint32_t>(input.size()), encoded);
    std::string again;
    UtilTools::decode_base64_string(encoded, again);
    require(again == input, "Base64 round trip lost bytes");
    std::string encodedString;
    UtilTools::encode_base64_string(input, encodedString);
    require(encodedString == encoded, "the two encoders disagree");
}

void checkTrim(const std::string& input) {
    std::string trimmed = input;
    UtilTools::trimString(trimmed, "\t ");
    require(trimmed.size() <= input.size(), "trimming made text longer");
    require(input.find(trimmed) != std::string::npos, "trimmed text is not a piece of the input");
    if (!trimmed.empty()) {
        require(trimmed.front() != ' ' && trimmed.front() != '\t' && trimmed.back() != ' ' &&
                    trimmed.back() != '\t',
                "trimmed text still starts or ends with blanks");
    }
    // C strings end at their first zero byte.
    const std::string cText = UtilTools::charToString(input.c_str(), "default");
    std::string cExpected(input.c_str());
    UtilTools::trimString(cExpected, "\t ");
    require(cText == cExpected, "charToString differs from trimming the C string");
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
