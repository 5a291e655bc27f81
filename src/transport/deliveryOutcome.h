// A batch of records as it goes to the collector, and what became of each of its records.
// The batch keeps every record's text beside the request body, so an answer is evaluated and
// the records it did not take are kept without reading the request back.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class RecordOutcome : unsigned char {
    Accepted,     // the collector's entry for the record says it was taken
    Refused,      // the collector answered for the record and did not take it
    NotAnswered,  // no usable answer says anything about the record
};

class Batch {
public:
    Batch();
    // A batch of the one record of arrayText, a JSON array of one object (the crash record,
    // built in place: no second copy of it is made).
    static Batch ofOne(std::string arrayText);

    // Appends one record, a compact JSON object.
    void add(const std::string& recordText);
    size_t size() const { return m_records.size(); }
    bool empty() const { return m_records.empty(); }
    // The JSON array that is sent: "[r0,r1,...]".
    const std::string& body() const { return m_body; }
    // The text of record index, as it appears in the body.
    std::string record(size_t index) const;

private:
    struct Span {
        size_t offset;
        size_t length;
    };
    std::string m_body;
    std::vector<Span> m_records;
};

struct DeliveryOutcome {
    // One outcome per record of the batch, in its order.
    std::vector<RecordOutcome> records;
    // True when a collector answer was read; false when nothing said anything about the batch.
    bool collectorAnswered = false;

    // Every record of a batch of count records with the same outcome.
    static DeliveryOutcome all(size_t count, RecordOutcome outcome);
    size_t count(RecordOutcome outcome) const;
    bool allAccepted() const { return count(RecordOutcome::Accepted) == records.size(); }
};
