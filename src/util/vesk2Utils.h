// Types shared by every layer: one log record and a queue of records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One log record: field key -> value, ordered by key.
typedef std::map<std::string, std::string> MapValues;

// A queued record: the fields its channel had when it was made, shared by every record of the
// channel until they change (so queuing a record copies none of them), and the record's own,
// which replace the channel's of the same key.
struct QueuedRecord {
    QueuedRecord() = default;
    explicit QueuedRecord(MapValues fields) : own(std::move(fields)) {}
    QueuedRecord(std::shared_ptr<const MapValues> channelFields, MapValues fields)
        : shared(std::move(channelFields)), own(std::move(fields)) {}

    bool empty() const { return own.empty() && (!shared || shared->empty()); }
    // The value of the field, or null.
    const std::string* find(const std::string& key) const;

    // One of the record's own fields, as setOwn takes it.
    struct OwnField {
        const std::string& key;
        std::string_view value;
    };
    // Makes the record's own fields exactly these (distinct keys). A record readied by
    // clearForReuse that already has these keys, given here in key order, keeps its map nodes
    // and text buffers, so filling it again mostly allocates nothing.
    void setOwn(std::initializer_list<OwnField> fields);
    // Readies a record that was dealt with to be filled again: it lets go of its channel's
    // fields and keeps its own map (values and all, setOwn overwrites them) unless that holds
    // more than kReusableFields fields or kReusableBytes of text.
    void clearForReuse();
    static constexpr size_t kReusableFields = 4;
    static constexpr size_t kReusableBytes = 1024;

    std::shared_ptr<const MapValues> shared;
    MapValues own;
    // Set by the queue's owner for its own bookkeeping (the journal's sequence number); 0 none.
    uint32_t sequence = 0;
    // Also the owner's: the journal, not open yet when the record was queued, that is to take
    // it once open; null none.
    const void* awaits = nullptr;
};

// A queue of records, oldest first.
typedef std::list<QueuedRecord> ListJobs;
typedef std::list<MapValues> lsListObj;

// Calls visit(key, value) for every key of the layers, in key order, once each, with the value
// of the last layer (in the order given) that holds it. Null layers are skipped.
template <typename Visit>
void forEachField(std::initializer_list<const MapValues*> layers, Visit&& visit) {
    struct Cursor {
        MapValues::const_iterator at;
        MapValues::const_iterator end;
    };
    // Callers pass a handful of layers: those need no allocation.
    constexpr size_t kInlineLayers = 4;
    Cursor inlineCursors[kInlineLayers];
    std::vector<Cursor> moreCursors;
    Cursor* cursors = inlineCursors;
    if (layers.size() > kInlineLayers) {
        moreCursors.resize(layers.size());
        cursors = moreCursors.data();
    }
    size_t count = 0;
    for (const MapValues* layer : layers) {
        if (layer != nullptr) cursors[count++] = Cursor{layer->begin(), layer->end()};
    }
    for (;;) {
        const std::string* key = nullptr;
        for (size_t i = 0; i < count; ++i) {
            const Cursor& cursor = cursors[i];
            if (cursor.at != cursor.end && (key == nullptr || cursor.at->first < *key)) {
                key = &cursor.at->first;
            }
        }
        if (key == nullptr) return;
        const std::string* value = nullptr;
        for (size_t i = 0; i < count; ++i) {
            if (cursors[i].at != cursors[i].end && cursors[i].at->first == *key) {
                value = &cursors[i].at->second;
            }
        }
        visit(*key, *value);
        // The node key points to stays where it is while its layer's cursor moves past it.
        for (size_t i = 0; i < count; ++i) {
            if (cursors[i].at != cursors[i].end && cursors[i].at->first == *key) ++cursors[i].at;
        }
    }
}

inline const std::string* QueuedRecord::find(const std::string& key) const {
    auto mine = own.find(key);
    if (mine != own.end()) return &mine->second;
    if (!shared) return nullptr;
    auto channel = shared->find(key);
    return channel == shared->end() ? nullptr : &channel->second;
}

inline void QueuedRecord::setOwn(std::initializer_list<OwnField> fields) {
    // Walks the map and the fields side by side: fields given in key order are matched with
    // one comparison each.
    bool sameKeys = own.size() == fields.size();
    auto node = own.begin();
    for (auto field = fields.begin(); sameKeys && field != fields.end(); ++field, ++node) {
        sameKeys = node->first == field->key;
    }
    if (!sameKeys) {
        own.clear();
        for (const OwnField& field : fields) own.emplace(field.key, field.value);
        return;
    }
    node = own.begin();
    for (const OwnField& field : fields) (node++)->second.assign(field.value);
}

inline void QueuedRecord::clearForReuse() {
    shared.reset();
    sequence = 0;
    awaits = nullptr;
    size_t bytes = 0;
    for (const auto& field : own) bytes += field.first.capacity() + field.second.capacity();
    if (own.size() > kReusableFields || bytes > kReusableBytes) own.clear();
}
