#include "transport/journalEntry.h"

#include <cstdint>
#include <cstring>

namespace {

unsigned char* put32(unsigned char* at, uint32_t value) {
    memcpy(at, &value, sizeof value);
    return at + sizeof value;
}

size_t fieldBytes(const std::string& key, const std::string& value) {
    return 8 + key.size() + value.size();
}

unsigned char* putField(unsigned char* at, const std::string& key, const std::string& value) {
    at = put32(at, static_cast<uint32_t>(key.size()));
    at = put32(at, static_cast<uint32_t>(value.size()));
    memcpy(at, key.data(), key.size());
    at += key.size();
    memcpy(at, value.data(), value.size());
    return at + value.size();
}

}  // namespace

EntryWriter::EntryWriter() { m_none.starts.push_back(0); }

size_t EntryWriter::sizeBound(const QueuedRecord& record) {
    size_t size = 4 + encodedShared(record).bytes.size();
    for (const auto& [key, value] : record.own) size += fieldBytes(key, value);
    return size;
}

size_t EntryWriter::write(const QueuedRecord& record, unsigned char* const start) {
    const Encoded& shared = encodedShared(record);
    const size_t sharedFields = shared.starts.size() - 1;
    uint32_t count = 0;
    unsigned char* at = start + 4;
    size_t next = 0;  // the first of the channel's fields not yet dealt with
    auto copySharedUpTo = [&](size_t until) {
        const size_t length = shared.starts[until] - shared.starts[next];
        memcpy(at, shared.bytes.data() + shared.starts[next], length);
        at += length;
        count += static_cast<uint32_t>(until - next);
        next = until;
    };
    for (const auto& [key, value] : record.own) {
        size_t until = next;
        while (until < sharedFields && keyAt(shared, until) < key) ++until;
        copySharedUpTo(until);
        if (next < sharedFields && keyAt(shared, next) == key) ++next;  // the record's own wins
        at = putField(at, key, value);
        ++count;
    }
    copySharedUpTo(sharedFields);
    put32(start, count);
    return static_cast<size_t>(at - start);
}

const EntryWriter::Encoded& EntryWriter::encodedShared(const QueuedRecord& record) {
    if (!record.shared) return m_none;
    // The pointer identifies the fields: a channel's map never changes once made, and the one
    // held here cannot be freed and its address reused.
    for (const Encoded& encoded : m_encoded) {
        if (encoded.of == record.shared) return encoded;
    }
    Encoded& encoded = m_encoded[m_replaceNext];
    m_replaceNext = (m_replaceNext + 1) % m_encoded.size();
    encoded.of = record.shared;
    encoded.bytes.clear();
    encoded.starts.clear();
    for (const auto& [key, value] : *record.shared) {
        const size_t start = encoded.bytes.size();
        encoded.starts.push_back(start);
        encoded.bytes.resize(start + fieldBytes(key, value));
        putField(reinterpret_cast<unsigned char*>(&encoded.bytes[start]), key, value);
    }
    encoded.starts.push_back(encoded.bytes.size());
    return encoded;
}

std::string_view EntryWriter::keyAt(const Encoded& encoded, size_t field) {
    const char* const at = encoded.bytes.data() + encoded.starts[field];
    uint32_t keySize = 0;
    memcpy(&keySize, at, sizeof keySize);
    return std::string_view(at + 8, keySize);
}

bool EntryWriter::read(const unsigned char* at, size_t length, MapValues& record) {
    const unsigned char* const end = at + length;
    auto take32 = [&](uint32_t& value) {
        if (end - at < 4) return false;
        memcpy(&value, at, 4);
        at += 4;
        return true;
    };
    uint32_t count = 0;
    if (!take32(count)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t keySize = 0;
        uint32_t valueSize = 0;
        if (!take32(keySize) || !take32(valueSize)) return false;
        if (static_cast<uint64_t>(end - at) < static_cast<uint64_t>(keySize) + valueSize) {
            return false;
        }
        std::string key(reinterpret_cast<const char*>(at), keySize);
        at += keySize;
        record[std::move(key)].assign(reinterpret_cast<const char*>(at), valueSize);
        at += valueSize;
    }
    return at == end;
}
