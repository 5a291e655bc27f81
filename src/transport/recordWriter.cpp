#include "transport/recordWriter.h"

#include <exception>

#include "record/vesk2Define.h"
#include "util/jsonText.h"

bool writeRecordObject(const MapValues& record, std::string& text) {
    try {
        text.clear();
        jsonText::appendCompactObject(record, VESK_KEY_HANDLERNAME.c_str(), text);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

namespace {

void separate(bool& first, std::string& out) {
    if (!first) out += ',';
    first = false;
}

}  // namespace

bool RecordWriter::append(const QueuedRecord& record, const MapValues& passFields, size_t bulkIndex,
                          std::string& out) {
    const size_t start = out.size();
    try {
        const std::string indexValue = std::to_string(bulkIndex);
        if (record.shared) {
            const SharedMembers& shared = sharedMembersOf(record.shared, passFields);
            if (shared.usable && collectUpper(record.own, indexValue)) {
                appendMerged(shared, out);
                return true;
            }
        }
        const MapValues index{{VESK_KEY_BULKINDEX, indexValue}};
        jsonText::appendCompactObject({record.shared.get(), &record.own, &passFields, &index},
                                      VESK_KEY_HANDLERNAME.c_str(), out);
        return true;
    } catch (const std::exception&) {
        out.resize(start);
        return false;
    }
}

const RecordWriter::SharedMembers& RecordWriter::sharedMembersOf(
    const std::shared_ptr<const MapValues>& channel, const MapValues& pass) {
    for (const SharedMembers& known : m_shared) {
        if (known.channel == channel && known.pass == &pass) return known;
    }
    SharedMembers made;
    made.channel = channel;
    made.pass = &pass;
    forEachField({channel.get(), &pass}, [&](const std::string& key, const std::string& value) {
        if (key == VESK_KEY_HANDLERNAME) return;
        made.usable = made.usable && jsonText::isWellFormedUtf8(key);
        if (!made.usable) return;
        Member member;
        member.key = key;
        jsonText::appendMember(key, value, member.text);
        member.fromPass = pass.count(key) != 0;
        made.members.push_back(std::move(member));
    });
    m_shared.push_back(std::move(made));
    return m_shared.back();
}

bool RecordWriter::collectUpper(const MapValues& own, const std::string& indexValue) {
    m_upper.clear();
    const std::string& indexKey = VESK_KEY_BULKINDEX;
    bool indexPlaced = false;
    for (const auto& [key, value] : own) {
        if (!jsonText::isWellFormedUtf8(key)) return false;
        if (!indexPlaced && !(key < indexKey)) {
            m_upper.push_back({&indexKey, &indexValue, true});
            indexPlaced = true;
        }
        // The place in the batch wins over an own field of the same key.
        if (key == indexKey) continue;
        m_upper.push_back({&key, &value, false});
    }
    if (!indexPlaced) m_upper.push_back({&indexKey, &indexValue, true});
    return true;
}

void RecordWriter::appendMerged(const SharedMembers& shared, std::string& out) const {
    bool first = true;
    auto appendUpper = [&](const Upper& upper) {
        if (*upper.key == VESK_KEY_HANDLERNAME) return;
        separate(first, out);
        jsonText::appendMember(*upper.key, *upper.value, out);
    };
    out += '{';
    size_t u = 0;
    for (const Member& member : shared.members) {
        while (u < m_upper.size() && *m_upper[u].key < member.key) appendUpper(m_upper[u++]);
        if (u < m_upper.size() && *m_upper[u].key == member.key) {
            const Upper& upper = m_upper[u++];
            if (upper.isIndex || !member.fromPass) {
                appendUpper(upper);
                continue;
            }
        }
        separate(first, out);
        out += member.text;
    }
    while (u < m_upper.size()) appendUpper(m_upper[u++]);
    out += "}\n";
}
