#include "util/jsonText.h"

#include <json/reader.h>
#include <json/writer.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>

#include "util/utf8.h"

// The classic reader is deprecated in current jsoncpp, but it is the one whose partial-parse
// behaviour the answer check and the stored files are built around.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace jsonText {

namespace {

// Text bytes go out as they are, after repair to well-formed UTF-8. The classic compact writer
// of current jsoncpp escapes every non-ASCII character instead and, on bytes that are not valid
// UTF-8, swallows the byte after them, so a field in another encoding arrived altered.
std::unique_ptr<Json::StreamWriter> newCompactWriter() {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
}

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

size_t sequenceLength(const char* text, size_t at, size_t size) {
    return utf8::sequenceLength(reinterpret_cast<const unsigned char*>(text) + at, size - at);
}

bool isWellFormed(const char* text, size_t size) {
    for (size_t at = 0; at < size;) {
        // Most text is ASCII: eight bytes at a time while none has its top bit set.
        uint64_t word = 0;
        if (size - at >= sizeof word) {
            memcpy(&word, text + at, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                at += sizeof word;
                continue;
            }
        }
        if (static_cast<unsigned char>(text[at]) < 0x80) {
            ++at;
            continue;
        }
        const size_t length = sequenceLength(text, at, size);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

bool allTextWellFormed(const Json::Value& value) {
    if (value.isString()) {
        const char* begin = nullptr;
        const char* end = nullptr;
        return !value.getString(&begin, &end) ||
               isWellFormed(begin, static_cast<size_t>(end - begin));
    }
    if (value.isArray()) {
        for (const Json::Value& element : value) {
            if (!allTextWellFormed(element)) return false;
        }
    } else if (value.isObject()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            const char* end = nullptr;
            const char* name = it.memberName(&end);
            if (!isWellFormed(name, static_cast<size_t>(end - name)) || !allTextWellFormed(*it))
                return false;
        }
    }
    return true;
}

Json::Value repaired(const Json::Value& value) {
    if (value.isString()) return Json::Value(jsonText::repairUtf8(value.asString()));
    if (value.isArray()) {
        Json::Value copy(Json::arrayValue);
        for (const Json::Value& element : value) copy.append(repaired(element));
        return copy;
    }
    if (value.isObject()) {
        Json::Value copy(Json::objectValue);
        for (auto it = value.begin(); it != value.end(); ++it) {
            copy[jsonText::repairUtf8(it.name())] = repaired(*it);
        }
        return copy;
    }
    return value;
}

}  // namespace

std::string repairUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t length = sequenceLength(text.data(), at, text.size());
        if (length == 0) {
            out += kReplacement;
            ++at;
        } else {
            out.append(text, at, length);
            at += length;
        }
    }
    return out;
}

namespace {

std::string writeWith(Json::StreamWriter& writer, std::ostringstream& text,
                      const Json::Value& value) {
    text.str(std::string());
    text.clear();
    if (allTextWellFormed(value)) {
        writer.write(value, &text);
    } else {
        writer.write(repaired(value), &text);
    }
    text << '\n';
    return text.str();
}

}  // namespace

std::string writeCompact(const Json::Value& value) {
    // A crash report is written on the crashing thread, which may have crashed in here: the
    // thread's writer is then left half-used and a fresh one is taken.
    thread_local bool inUse = false;
    if (inUse) {
        std::ostringstream text;
        return writeWith(*newCompactWriter(), text, value);
    }
    inUse = true;
    struct Release {
        bool& flag;
        ~Release() { flag = false; }
    } release{inUse};
    // One writer and one stream per thread: making them anew costs more than writing a small
    // record.
    thread_local const std::unique_ptr<Json::StreamWriter> writer = newCompactWriter();
    thread_local std::ostringstream text;
    return writeWith(*writer, text, value);
}

namespace {

// Escapes as the compact writer does: quotes, backslashes and control characters only.
void appendQuoted(const char* text, size_t size, std::string& out) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    size_t plainFrom = 0;
    for (size_t at = 0; at < size; ++at) {
        const unsigned char byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
        out.append(text + plainFrom, at - plainFrom);
        plainFrom = at + 1;
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += "\\u00";
                out += kHex[byte >> 4];
                out += kHex[byte & 0xF];
        }
    }
    out.append(text + plainFrom, size - plainFrom);
    out += '"';
}

void appendText(const std::string& text, std::string& out) {
    if (isWellFormed(text.data(), text.size())) {
        appendQuoted(text.data(), text.size(), out);
    } else {
        const std::string repairedText = repairUtf8(text);
        appendQuoted(repairedText.data(), repairedText.size(), out);
    }
}

}  // namespace

bool isWellFormedUtf8(const std::string& text) { return isWellFormed(text.data(), text.size()); }

void appendMember(const std::string& key, const std::string& value, std::string& out) {
    appendQuoted(key.data(), key.size(), out);
    out += ':';
    appendText(value, out);
}

void appendCompactObject(const MapValues& fields, const char* skipKey, std::string& out) {
    appendCompactObject({&fields}, skipKey, out);
}

void appendCompactObject(std::initializer_list<const MapValues*> layers, const char* skipKey,
                         std::string& out) {
    const size_t start = out.size();
    bool keysWellFormed = true;
    out += '{';
    bool first = true;
    forEachField(layers, [&](const std::string& key, const std::string& value) {
        if (!keysWellFormed || (skipKey != nullptr && key == skipKey)) return;
        keysWellFormed = isWellFormed(key.data(), key.size());
        if (!keysWellFormed) return;
        if (!first) out += ',';
        first = false;
        appendMember(key, value, out);
    });
    if (keysWellFormed) {
        out += "}\n";
        return;
    }
    // Repair can make two keys equal or change their order; such records take the long way.
    out.resize(start);
    Json::Value object(Json::objectValue);
    forEachField(layers, [&object, skipKey](const std::string& key, const std::string& value) {
        if (skipKey == nullptr || key != skipKey) object[key] = value;
    });
    out += writeCompact(object);
}

bool parse(const std::string& text, Json::Value& root) {
    Json::Reader reader;
    return reader.parse(text.data(), text.data() + text.size(), root, false);
}

bool parse(const std::string& text, Json::Value& root, size_t& errorOffset) {
    Json::Reader reader;
    if (reader.parse(text.data(), text.data() + text.size(), root, false)) return true;
    const auto errors = reader.getStructuredErrors();
    errorOffset = errors.empty() ? text.size() : static_cast<size_t>(errors.front().offset_start);
    return false;
}

}  // namespace jsonText

#pragma GCC diagnostic pop
