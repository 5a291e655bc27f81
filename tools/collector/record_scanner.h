// Finds the records of a log post in one pass over its body, without building them.
#pragma once

#include <rapidjson/reader.h>

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace collector {

// One record: where it stands in the body, and what the answer and the printing ask of it.
struct ScannedRecord {
    size_t start = 0;
    size_t limit = 0;
    // Its last "body" member is a string whose unescaped text contains a fail text.
    bool bodyHasFailText = false;
    bool hasDmpData = false;
};

// Nested deeper than this the body is refused, as jsoncpp refuses it: the reader recurses once
// per level and a post of 2 MiB of '[' must not exhaust a server thread's stack.
constexpr int kMaxJsonDepth = 1000;

// Where the scalar starting at `start` ends; rapidjson has just read it whole.
inline size_t scalarEnd(const std::string& text, size_t start) {
    if (text[start] != '"') return text.find_first_not_of("0123456789+-.eEtruefalsn", start);
    size_t at = start + 1;
    while (text[at] != '"') at += text[at] == '\\' ? 2 : 1;
    return at + 1;
}

// The records are the elements of a top-level array, or a top-level object itself (a
// network-insight result is posted as one object).
class RecordScanner : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, RecordScanner> {
public:
    RecordScanner(const std::string& body, const rapidjson::StringStream& stream,
                  const std::vector<std::string>& failTexts)
        : m_body(body), m_stream(stream), m_failTexts(failTexts) {}

    std::vector<ScannedRecord>& records() { return m_records; }

    bool StartObject() { return open(true); }
    bool StartArray() { return open(false); }
    bool EndObject(rapidjson::SizeType) { return close(); }
    bool EndArray(rapidjson::SizeType) { return close(); }

    bool Key(const char* text, rapidjson::SizeType length, bool) {
        if (m_depth != m_recordDepth + 1) return true;
        m_nextIsBody = equals(text, length, "body");
        // jsoncpp keeps the last of repeated members: so does the verdict.
        if (m_nextIsBody) m_current.bodyHasFailText = false;
        if (equals(text, length, "DmpData")) m_current.hasDmpData = true;
        return true;
    }

    bool String(const char* text, rapidjson::SizeType length, bool) {
        if (m_depth == m_recordDepth + 1 && m_nextIsBody) {
            m_current.bodyHasFailText = containsFailText(text, length);
        }
        return scalar();
    }

    // Numbers arrive as text, never converted; a number is not a string "body".
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return scalar(); }
    bool Default() { return scalar(); }

private:
    static bool equals(const char* text, rapidjson::SizeType length, const char* name) {
        return length == std::strlen(name) && std::memcmp(text, name, length) == 0;
    }

    bool containsFailText(const char* text, rapidjson::SizeType length) const {
        const std::string_view value(text, length);
        for (const std::string& failText : m_failTexts) {
            if (value.find(failText) != std::string_view::npos) return true;
        }
        return false;
    }

    bool open(bool isObject) {
        if (m_depth == 0) {
            m_recordDepth = isObject ? 0 : 1;
            // The elements of the array start after its bracket.
            if (!isObject) m_searchFrom = m_stream.Tell();
        }
        if (m_depth == m_recordDepth) beginRecord();
        m_nextIsBody = false;
        return ++m_depth <= kMaxJsonDepth;
    }

    bool close() {
        --m_depth;
        if (m_depth == m_recordDepth) endRecord(m_stream.Tell());
        m_nextIsBody = false;
        return true;
    }

    bool scalar() {
        // A scalar at the top is neither an array nor an object.
        if (m_depth == 0) return false;
        if (m_depth == m_recordDepth) {
            beginRecord();
            endRecord(scalarEnd(m_body, m_current.start));
        }
        m_nextIsBody = false;
        return true;
    }

    void beginRecord() {
        m_current = ScannedRecord{};
        m_current.start = m_body.find_first_not_of(" \t\r\n,", m_searchFrom);
    }

    void endRecord(size_t limit) {
        m_current.limit = limit;
        m_searchFrom = m_current.limit;
        m_records.push_back(m_current);
    }

    const std::string& m_body;
    // Read for containers only: rapidjson reads a scalar from a copy of the stream, so during
    // a scalar's event this one still stands at the scalar's first byte.
    const rapidjson::StringStream& m_stream;
    const std::vector<std::string>& m_failTexts;
    std::vector<ScannedRecord> m_records;
    ScannedRecord m_current;
    int m_depth = 0;
    int m_recordDepth = 1;
    size_t m_searchFrom = 0;
    bool m_nextIsBody = false;
};

inline bool onlyWhiteSpaceFrom(const std::string& text, size_t offset) {
    return text.find_first_not_of(" \t\r\n", offset) == std::string::npos;
}

// The records of `body`, or nothing when it is not strict JSON (comments, trailing text, raw
// control characters in strings) or neither an array nor an object.
inline std::optional<std::vector<ScannedRecord>> scanRecords(
    const std::string& body, const std::vector<std::string>& failTexts) {
    rapidjson::StringStream stream(body.c_str());
    RecordScanner scanner(body, stream, failTexts);
    rapidjson::Reader reader;
    constexpr unsigned kFlags =
        rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseNumbersAsStringsFlag;
    if (reader.Parse<kFlags>(stream, scanner).IsError()) return std::nullopt;
    // A NUL byte ends rapidjson's view of the text, so what follows the root is checked here.
    if (!onlyWhiteSpaceFrom(body, stream.Tell())) return std::nullopt;
    return std::move(scanner.records());
}

}  // namespace collector
