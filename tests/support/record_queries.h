// Questions tests ask of what a collector received.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/collector_process.h"
#include "support/stored_records.h"

namespace qm_test {

// The records whose member `key` is the text `value`.
std::vector<Json::Value> withField(const std::vector<Json::Value>& records, const std::string& key,
                                   const std::string& value);
std::vector<Json::Value> withBody(const CollectorProcess& collector, const std::string& body);
// True once a record with that body arrived; false when timeoutMs passed first.
bool waitForBody(const CollectorProcess& collector, const std::string& body, int timeoutMs);
// The one record with that body. Anything but exactly one is a test failure, and then the
// result is the first of them or, with none, a null value whose members all read as empty.
Json::Value onlyRecord(const CollectorProcess& collector, const std::string& body);
Json::Value onlyRecord(const std::vector<Json::Value>& records, const std::string& body);

// The wall clock in milliseconds since the epoch, the unit records give their times in.
int64_t nowMs();

// The bytes of Base64 text the library wrote (a record's "DmpData", the time part of an ID),
// padded or not; empty when a character is not of the alphabet.
std::string decodeBase64(const std::string& text);

// The "body" of each record, in order: of records received, of one request's array, of records
// handed to local storage.
std::vector<std::string> bodiesOf(const std::vector<Json::Value>& records);
std::vector<std::string> bodiesOf(const Json::Value& batch);
std::vector<std::string> bodiesOf(const std::vector<StoredRecord>& stored);

// Where each record the application handed over ended, by its body (bodies are unique).
struct Accounting {
    size_t sent = 0;
    size_t accepted = 0;
    size_t stored = 0;
    // Records the library said it dropped by a cap or could not keep, from its log lines.
    size_t dropped = 0;
    std::vector<std::string> lost;   // neither accepted nor stored
    std::vector<std::string> twice;  // accepted and stored, or stored twice
};
// sent: bodies for which the library returned 1; accepted: bodies the collector accepted;
// stored: bodies in the store; logLines: the library's log.
Accounting account(const std::vector<std::string>& sent, const std::vector<std::string>& accepted,
                   const std::vector<std::string>& stored,
                   const std::vector<std::string>& logLines);
// The promise of a 1: each record accepted, stored, or counted in a log line of a cap or of a
// store that could not be written. exactlyOnce: no record both accepted and stored (not
// promised when an exchange was cut after the collector took the batch).
void expectEveryRecordAccountedFor(const Accounting& accounting, bool exactlyOnce);
// The bodies of the records in a project directory's store ("log.txt" and a re-send in progress).
std::vector<std::string> storedBodies(const std::string& projectDirectory);

// The collector behaviours the promise of a 1 is checked against, by the accounting test and
// the accounting benchmark alike.
struct CollectorBehaviour {
    const char* name;         // an identifier, for test names
    const char* description;  // for the benchmark's table
    const char* mode;         // the collector's --mode
    std::vector<std::string> extraArgs;
    // The collector's answers accept what it received; otherwise nothing counts as accepted.
    bool accepts = false;
    // Nothing listens at the address.
    bool unreachable = false;
    // The collector takes the first half, then is gone for the second.
    bool diesMidway = false;
    // Some records may be both accepted and stored: the collector took a batch whose answer
    // was cut (at least once, not exactly once).
    bool mayRepeat = false;
};
const std::vector<CollectorBehaviour>& collectorBehaviours();

}  // namespace qm_test
