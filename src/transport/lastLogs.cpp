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

// Fills in, from a list of fields (journalEntry.h), those not found yet: a record's own come
// first and win over its channel's. False when the bytes do not hold a list.
bool readList(const unsigned char* at, size_t length, Fields& fields) {
    const unsigned char* const end = at + length;
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
        Text* const slot = key.is("handlerName") ? &fields.handler
                           : key.is("logType")   ? &fields.type
                           : key.is("body")      ? &fields.body
                           : key.is("logLevel")  ? &fields.level
                           : key.is("sendTime")  ? &fields.time
                                                 : nullptr;
        if (slot != nullptr && slot->bytes == nullptr) *slot = value;
    }
    return true;
}

// The channel's fields an entry uses, read once for a run of entries that use the same.
class SharedFields {
public:
    explicit SharedFields(const RecordJournal& journal) : m_journal(journal) {}
    // False when the entry's fields entry cannot be read.
    bool fillIn(const RecordJournal::EntryView& entry, Fields& fields) {
        const uint32_t sequence = JournalRecent::fieldsSequenceOf(entry);
        if (sequence == 0) return true;
        if (!m_known || sequence != m_sequence) {
            m_known = false;
            m_sequence = sequence;
            m_fields = Fields();
            RecordJournal::EntryView shared;
            if (!m_journal.sharedFieldsOf(entry, shared) ||
                !readList(shared.fields, shared.length, m_fields)) {
                return false;
            }
            m_known = true;
            if (m_oldest == nullptr || shared.at < m_oldestView.at) {
                m_oldestView = shared;
                m_oldest = &m_oldestView;
            }
        }
        if (fields.handler.bytes == nullptr) fields.handler = m_fields.handler;
        if (fields.type.bytes == nullptr) fields.type = m_fields.type;
        return true;
    }
    // The oldest fields entry read, or null.
    const RecordJournal::EntryView* oldest() const { return m_oldest; }

private:
    const RecordJournal& m_journal;
    bool m_known = false;
    uint32_t m_sequence = 0;
    Fields m_fields;
    RecordJournal::EntryView m_oldestView;
    const RecordJournal::EntryView* m_oldest = nullptr;
};

// The fields of one record entry; false when its bytes do not hold them.
bool readFields(const RecordJournal::EntryView& entry, SharedFields& shared, Fields& fields) {
    return readList(entry.fields, entry.length, fields) && shared.fillIn(entry, fields) &&
           fields.handler.bytes != nullptr && fields.body.bytes != nullptr;
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
    SharedFields shared(*journal);
    for (size_t i = 0; i < entries && picked < kMaxRecords && textLeft > 0; ++i) {
        Fields fields;
        if (!readFields(work.views[i], shared, fields) || !fields.handler.is(channel) ||
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
    if (list.full() || (oldest != nullptr && !journal->stillHolds(*oldest)) ||
        (shared.oldest() != nullptr && !journal->stillHolds(*shared.oldest()))) {
        return writeEmpty(out);
    }
    return list.used();
}

}  // namespace lastLogs
