#include "transport/lastLogs.h"

#include <cstdint>
#include <cstring>

#include "util/utf8.h"

namespace lastLogs {

namespace {

struct Text {
    const unsigned char* bytes = nullptr;
    size_t size = 0;
    bool is(const char* text) const {
        return bytes != nullptr && strlen(text) == size && memcmp(bytes, text, size) == 0;
    }
};

struct Fields {
    Text handler;
    Text type;
    Text body;
    Text level;
    Text time;
};

uint32_t read32(const unsigned char* at) {
    uint32_t value = 0;
    memcpy(&value, at, sizeof value);
    return value;
}

// The fields of one entry (EntryWriter's layout); false when its bytes do not hold them.
bool readFields(const RecordJournal::EntryView& entry, Fields& fields) {
    const unsigned char* at = entry.fields;
    const unsigned char* const end = at + entry.length;
    if (end - at < 4) return false;
    const uint32_t count = read32(at);
    at += 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (end - at < 8) return false;
        const uint32_t keySize = read32(at);
        const uint32_t valueSize = read32(at + 4);
        at += 8;
        if (static_cast<uint64_t>(end - at) < static_cast<uint64_t>(keySize) + valueSize) {
            return false;
        }
        const Text key{at, keySize};
        const Text value{at + keySize, valueSize};
        at += keySize + valueSize;
        if (key.is("handlerName")) fields.handler = value;
        if (key.is("logType")) fields.type = value;
        if (key.is("body")) fields.body = value;
        if (key.is("logLevel")) fields.level = value;
        if (key.is("sendTime")) fields.time = value;
    }
    return fields.handler.bytes != nullptr && fields.body.bytes != nullptr;
}

// The longest prefix of at most `bound` bytes that does not split a character.
size_t cutOnCharacter(const Text& text, size_t bound) {
    if (text.size <= bound) return text.size;
    size_t cut = bound;
    while (cut > 0 && (text.bytes[cut] & 0xC0) == 0x80) --cut;
    return cut;
}

class Out {
public:
    explicit Out(char* bytes) : m_bytes(bytes) {}
    void put(const char* text) { putBytes(text, strlen(text)); }
    void putBytes(const char* bytes, size_t size) {
        if (m_used + size > kCapacity) {
            m_full = true;
            return;
        }
        memcpy(m_bytes + m_used, bytes, size);
        m_used += size;
    }
    // A JSON string as the record writer makes it: quotes, backslashes and control characters
    // escaped, other bytes as they are, a byte outside a well-formed sequence as U+FFFD.
    void putString(const unsigned char* text, size_t size) {
        static const char kHex[] = "0123456789abcdef";
        put("\"");
        size_t at = 0;
        while (at < size) {
            const unsigned char byte = text[at];
            const size_t length = utf8::sequenceLength(text + at, size - at);
            if (length == 0) {
                put("\xEF\xBF\xBD");
                ++at;
                continue;
            }
            if (length > 1 || (byte >= 0x20 && byte != '"' && byte != '\\')) {
                putBytes(reinterpret_cast<const char*>(text + at), length);
            } else if (byte == '"') {
                put("\\\"");
            } else if (byte == '\\') {
                put("\\\\");
            } else if (byte == '\b') {
                put("\\b");
            } else if (byte == '\f') {
                put("\\f");
            } else if (byte == '\n') {
                put("\\n");
            } else if (byte == '\r') {
                put("\\r");
            } else if (byte == '\t') {
                put("\\t");
            } else {
                const char escaped[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
                putBytes(escaped, sizeof escaped);
            }
            at += length;
        }
        put("\"");
    }
    size_t used() const { return m_used; }
    bool full() const { return m_full; }

private:
    char* const m_bytes;
    size_t m_used = 0;
    bool m_full = false;
};

size_t writeEmpty(char* out) {
    memcpy(out, "[]", 2);
    return 2;
}

}  // namespace

size_t write(const RecordJournal* journal, const char* channel, Workspace& work, char* out) {
    if (journal == nullptr || channel == nullptr) return writeEmpty(out);
    const size_t entries = journal->recentEntries(work.views, RecordJournal::kRecentEntries);
    size_t picked = 0;
    size_t textLeft = kMaxTextBytes;
    const RecordJournal::EntryView* oldest = nullptr;
    for (size_t i = 0; i < entries && picked < kMaxRecords && textLeft > 0; ++i) {
        Fields fields;
        if (!readFields(work.views[i], fields) || !fields.handler.is(channel) ||
            fields.type.is("SESSION") || fields.level.size > kMaxShortField ||
            fields.time.size > kMaxShortField) {
            continue;
        }
        const size_t bodyBytes = cutOnCharacter(fields.body, textLeft);
        if (bodyBytes == 0 && fields.body.size != 0) break;
        work.picked[picked++] = Picked{fields.body.bytes, bodyBytes,         fields.level.bytes,
                                       fields.level.size, fields.time.bytes, fields.time.size};
        oldest = &work.views[i];
        textLeft -= bodyBytes;
        if (bodyBytes < fields.body.size) break;
    }
    Out list(out);
    list.put("[");
    for (size_t i = picked; i > 0; --i) {
        const Picked& record = work.picked[i - 1];
        list.put(i == picked ? "{\"body\":" : ",{\"body\":");
        list.putString(record.body, record.bodyBytes);
        list.put(",\"logLevel\":");
        list.putString(record.level, record.levelBytes);
        list.put(",\"sendTime\":");
        list.putString(record.time, record.timeBytes);
        list.put("}");
    }
    list.put("]");
    // Copied while other threads went on logging: a writer that lapped the oldest of them
    // meanwhile may have left torn text, and none of it goes out then.
    if (list.full() || (oldest != nullptr && !journal->stillHolds(*oldest))) return writeEmpty(out);
    return list.used();
}

}  // namespace lastLogs
