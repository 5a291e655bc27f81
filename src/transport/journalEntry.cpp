#include "transport/journalEntry.h"

#include <cstring>

namespace {

unsigned char* put32(unsigned char* at, uint32_t value) {
    memcpy(at, &value, sizeof value);
    return at + sizeof value;
}

uint32_t get32(const unsigned char* at) {
    uint32_t value = 0;
    memcpy(&value, at, sizeof value);
    return value;
}

size_t listBytes(const MapValues& fields) {
    size_t size = 4;
    for (const auto& [key, value] : fields) size += 8 + key.size() + value.size();
    return size;
}

unsigned char* putList(unsigned char* at, const MapValues& fields) {
    at = put32(at, static_cast<uint32_t>(fields.size()));
    for (const auto& [key, value] : fields) {
        at = put32(at, static_cast<uint32_t>(key.size()));
        at = put32(at, static_cast<uint32_t>(value.size()));
        memcpy(at, key.data(), key.size());
        at += key.size();
        memcpy(at, value.data(), value.size());
        at += value.size();
    }
    return at;
}

}  // namespace

namespace journalEntry {

bool readList(const unsigned char* at, size_t length, MapValues& fields) {
    const unsigned char* const end = at + length;
    if (length < 4) return false;
    const uint32_t count = get32(at);
    at += 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (end - at < 8) return false;
        const uint32_t keySize = get32(at);
        const uint32_t valueSize = get32(at + 4);
        at += 8;
        if (static_cast<uint64_t>(end - at) < static_cast<uint64_t>(keySize) + valueSize) {
            return false;
        }
        std::string key(reinterpret_cast<const char*>(at), keySize);
        at += keySize;
        fields[std::move(key)].assign(reinterpret_cast<const char*>(at), valueSize);
        at += valueSize;
    }
    return at == end;
}

bool recordHead(const unsigned char* at, size_t length, uint32_t& fieldsSequence,
                uint32_t& fieldsOffset) {
    if (length < kRecordHeadBytes || get32(at) != kRecordKind) return false;
    fieldsSequence = get32(at + 4);
    fieldsOffset = get32(at + 8);
    return true;
}

bool parse(const unsigned char* at, size_t length, Parsed& entry) {
    if (length < 4) return false;
    entry.kind = get32(at);
    if (entry.kind == kFieldsKind) {
        return readList(at + kFieldsHeadBytes, length - kFieldsHeadBytes, entry.fields);
    }
    return recordHead(at, length, entry.fieldsSequence, entry.fieldsOffset) &&
           readList(at + kRecordHeadBytes, length - kRecordHeadBytes, entry.fields);
}

}  // namespace journalEntry

EntryWriter::Shared* EntryWriter::sharedOf(const QueuedRecord& record) {
    if (!record.shared) return nullptr;
    // The pointer identifies the fields: a channel's map never changes once made, and the one
    // held here cannot be freed and its address reused.
    for (Shared& shared : m_shared) {
        if (shared.of == record.shared) return &shared;
    }
    Shared& shared = m_shared[m_replaceNext];
    m_replaceNext = (m_replaceNext + 1) % m_shared.size();
    shared = Shared();
    shared.of = record.shared;
    shared.list.resize(listBytes(*record.shared));
    putList(reinterpret_cast<unsigned char*>(&shared.list[0]), *record.shared);
    return &shared;
}

void EntryWriter::writeFields(const Shared& shared, unsigned char* start) {
    put32(start, journalEntry::kFieldsKind);
    memcpy(start + journalEntry::kFieldsHeadBytes, shared.list.data(), shared.list.size());
}

size_t EntryWriter::recordEntryBytes(const QueuedRecord& record) {
    return journalEntry::kRecordHeadBytes + listBytes(record.own);
}

size_t EntryWriter::writeRecord(const QueuedRecord& record, uint32_t fieldsSequence,
                                uint32_t fieldsOffset, unsigned char* start) {
    unsigned char* at = put32(start, journalEntry::kRecordKind);
    at = put32(at, fieldsSequence);
    at = put32(at, fieldsOffset);
    at = putList(at, record.own);
    return static_cast<size_t>(at - start);
}
