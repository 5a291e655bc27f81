#include "crash_input.h"

#include <json/json.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>

namespace symbolicate {
namespace {

const char kDumpField[] = "DmpData";
// A record inside a request log line inside nothing else: anything deeper is no crash input.
const int kMaxNesting = 3;

uint32_t littleEndian32(const std::string& bytes, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

int base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Strict standard Base64 with padding; line breaks are tolerated, as mail and some tools add them.
bool decodeBase64(const std::string& text, std::string& out) {
    out.clear();
    uint32_t bits = 0;
    int held = 0;
    size_t digits = 0;
    size_t padding = 0;
    for (unsigned char c : text) {
        if (c == '\n' || c == '\r') continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        const int value = base64Value(c);
        if (value < 0 || padding > 0) return false;
        ++digits;
        bits = (bits << 6) | uint32_t(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(char((bits >> held) & 0xFF));
        }
    }
    if ((digits + padding) % 4 != 0 || padding > 2 || digits % 4 == 1) return false;
    // The bits left over must be zero, or the text was cut or altered.
    return (bits & ((1u << held) - 1)) == 0;
}

bool isShortenedDump(const std::string& text) {
    // The loopback collector's --quiet-dmp form: "<12345 bytes>".
    if (text.size() < 9 || text.front() != '<' || text.compare(text.size() - 7, 7, " bytes>") != 0)
        return false;
    for (size_t i = 1; i + 7 < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

bool parseJson(const char* begin, const char* end, Json::Value& value, std::string& errors) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(begin, end, &value, &errors);
}

// jsoncpp's report spans lines ("* Line 1, Column 1\n  Syntax error: ..."); stderr gets one.
std::string oneLine(const std::string& text) {
    std::string line;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
        if (c == ' ' && (line.empty() || line.back() == ' ')) continue;
        line.push_back(c);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (line.compare(0, 2, "* ") == 0) line.erase(0, 2);
    return line;
}

const char* skipSpace(const char* at, const char* end) {
    while (at < end && (*at == ' ' || *at == '\t' || *at == '\r' || *at == '\n')) ++at;
    return at;
}

class Collector {
public:
    explicit Collector(CrashInput& input) : m_input(input) {}

    // False once an error is set.
    bool visit(const Json::Value& value, int depth) {
        if (depth > kMaxNesting) return true;
        if (value.isArray()) {
            for (const Json::Value& item : value) {
                if (!visit(item, depth + 1)) return false;
            }
            return true;
        }
        if (!value.isObject()) return true;
        if (value.isMember(kDumpField)) return takeDump(value[kDumpField]);
        // A request log line: the POST body it carries, as text.
        const Json::Value& body = value["body"];
        if (body.isString()) {
            const std::string text = body.asString();
            const char* begin = skipSpace(text.data(), text.data() + text.size());
            if (begin < text.data() + text.size() && (*begin == '[' || *begin == '{')) {
                Json::Value inner;
                std::string errors;
                if (parseJson(begin, text.data() + text.size(), inner, errors)) {
                    return visit(inner, depth + 1);
                }
            }
        }
        return true;
    }

private:
    bool fail(const std::string& error) {
        m_input.error = error;
        m_input.dumps.clear();
        return false;
    }

    bool takeDump(const Json::Value& field) {
        const std::string where = "record " + std::to_string(++m_records) + ": ";
        if (!field.isString()) return fail(where + "\"DmpData\" is not a string");
        const std::string text = field.asString();
        if (isShortenedDump(text)) {
            return fail(where + "\"DmpData\" is only its size (" + text +
                        "): the collector shortened it; read its request log, or its records "
                        "file written without --quiet-dmp");
        }
        std::string dump;
        if (!decodeBase64(text, dump)) return fail(where + "\"DmpData\" is not valid Base64");
        const std::string problem = minidumpProblem(dump);
        if (!problem.empty()) return fail(where + problem);
        m_input.dumps.push_back(std::move(dump));
        return true;
    }

    CrashInput& m_input;
    int m_records = 0;
};

// The thread and memory lists point further into the file, at the stacks and memory the walk
// reads: a dump cut short loses those first, as the writer puts them after the lists.
std::string listProblem(const std::string& dump, uint32_t type, uint64_t at, uint64_t size) {
    const uint32_t kThreadList = 3;
    const uint32_t kMemoryList = 5;
    // MDRawThread (48 bytes) has its stack's size and offset at 32; MDMemoryDescriptor
    // (16 bytes) at 8.
    uint64_t entrySize = 0;
    uint64_t rangeAt = 0;
    std::string name;
    if (type == kThreadList) {
        entrySize = 48;
        rangeAt = 32;
        name = "thread list";
    } else if (type == kMemoryList) {
        entrySize = 16;
        rangeAt = 8;
        name = "memory list";
    } else {
        return std::string();
    }
    if (size < 4) return "the minidump's " + name + " is cut short";
    const uint64_t count = littleEndian32(dump, size_t(at));
    // Some writers pad the count to 8 bytes.
    const uint64_t first = size == 4 + count * entrySize ? at + 4 : at + 8;
    if (first + count * entrySize > at + size) {
        return "the minidump's " + name + " holds fewer entries than it says";
    }
    for (uint64_t i = 0; i < count; ++i) {
        const size_t range = size_t(first + i * entrySize + rangeAt);
        const uint64_t length = littleEndian32(dump, range);
        const uint64_t offset = littleEndian32(dump, range + 4);
        if (offset + length > dump.size()) {
            return "the minidump is truncated (the memory of entry " + std::to_string(i) +
                   " of its " + name + " ends past the file)";
        }
    }
    return std::string();
}

}  // namespace

std::string minidumpProblem(const std::string& dump) {
    // MDRawHeader: signature, version (low half 0xA793), stream count, directory offset, ...
    const size_t kHeader = 32;
    const size_t kEntry = 12;
    if (dump.size() < 4 || std::memcmp(dump.data(), "MDMP", 4) != 0) {
        return "the dump is not a minidump (no MDMP signature)";
    }
    if (dump.size() < kHeader) return "the minidump is truncated (its header is incomplete)";
    if ((littleEndian32(dump, 4) & 0xFFFF) != 0xA793) {
        return "the minidump has an unknown format version";
    }
    const uint64_t streams = littleEndian32(dump, 8);
    const uint64_t directory = littleEndian32(dump, 12);
    if (streams == 0) return "the minidump holds no streams";
    if (directory + streams * kEntry > dump.size()) {
        return "the minidump is truncated (its stream directory ends past the file)";
    }
    for (uint64_t i = 0; i < streams; ++i) {
        const size_t entry = size_t(directory + i * kEntry);
        const uint32_t type = littleEndian32(dump, entry);
        const uint64_t size = littleEndian32(dump, entry + 4);
        const uint64_t at = littleEndian32(dump, entry + 8);
        if (at + size > dump.size()) {
            return "the minidump is truncated (stream " + std::to_string(i) + " of " +
                   std::to_string(streams) + " ends past the file)";
        }
        const std::string problem = listProblem(dump, type, at, size);
        if (!problem.empty()) return problem;
    }
    return std::string();
}

CrashInput readCrashInput(const std::string& bytes) {
    CrashInput input;
    const char* const end = bytes.data() + bytes.size();
    const char* begin = bytes.data();
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) begin += 3;
    begin = skipSpace(begin, end);
    if (begin == end) {
        input.error = "the input is empty";
        return input;
    }
    if (bytes.compare(0, 4, "MDMP") == 0) {
        input.error = minidumpProblem(bytes);
        if (input.error.empty()) input.dumps.push_back(bytes);
        return input;
    }
    if (*begin != '{' && *begin != '[') {
        input.error = "the input is neither JSON nor a minidump";
        return input;
    }
    Collector collector(input);
    Json::Value value;
    std::string errors;
    if (parseJson(begin, end, value, errors)) {
        if (!collector.visit(value, 0)) return input;
    } else {
        // One JSON value per line, as the loopback collector writes its files.
        std::istringstream lines(std::string(begin, end));
        std::string line;
        int number = 0;
        while (std::getline(lines, line)) {
            ++number;
            const char* first = skipSpace(line.data(), line.data() + line.size());
            if (first == line.data() + line.size()) continue;
            if (!parseJson(first, line.data() + line.size(), value, errors)) {
                input.error = (number == 1 ? "the input is not JSON: "
                                           : "line " + std::to_string(number) + " is not JSON: ") +
                              oneLine(errors);
                input.dumps.clear();
                return input;
            }
            if (!collector.visit(value, 0)) return input;
        }
    }
    if (input.dumps.empty()) input.error = "no crash record: no \"DmpData\" field in the input";
    return input;
}

}  // namespace symbolicate
