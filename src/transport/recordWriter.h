// Writes the records of one pass. A record's fields come in layers, each over the one before:
// its channel's (shared by the channel's records), its own, the pass's fields for its channel,
// and its place in the batch. Written one by one, every record would escape its channel's
// twenty-odd fields again; here the channel's and the pass's fields are written once per pass
// and copied into each record, and only the record's own few fields are escaped. The text is
// byte for byte what writeRecordObject writes of the merged fields.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "util/vesk2Utils.h"

// One record's fields as the compact JSON object that is sent, without "handlerName"; false
// when it could not be written.
bool writeRecordObject(const MapValues& record, std::string& text);

class RecordWriter {
public:
    // Appends the record's compact object and a line feed, without "handlerName"; passFields
    // must live as long as the writer. False when it could not be written.
    bool append(const QueuedRecord& record, const MapValues& passFields, size_t bulkIndex,
                std::string& out);

private:
    struct Member {
        std::string key;
        // "key":"value" as written.
        std::string text;
        // A pass field: the record's own field of the same key does not replace it.
        bool fromPass = false;
    };
    // The members a channel's fields and the pass's make together, in key order.
    struct SharedMembers {
        std::shared_ptr<const MapValues> channel;
        const MapValues* pass = nullptr;
        std::vector<Member> members;
        // False when a key is not well-formed UTF-8: such records take the general way.
        bool usable = true;
    };
    // A record's own field or its place, to be merged into the shared members.
    struct Upper {
        const std::string* key;
        const std::string* value;
        bool isIndex;
    };

    const SharedMembers& sharedMembersOf(const std::shared_ptr<const MapValues>& channel,
                                         const MapValues& pass);
    // False when an own key is not well-formed.
    bool collectUpper(const MapValues& own, const std::string& indexValue);
    void appendMerged(const SharedMembers& shared, std::string& out) const;

    // Few per pass: one per channel, and one more whenever a channel's fields changed.
    std::vector<SharedMembers> m_shared;
    std::vector<Upper> m_upper;
};
