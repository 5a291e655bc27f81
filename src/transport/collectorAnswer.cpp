// The collector's answer to a batch, read against the batch that was sent.
#include "transport/collectorAnswer.h"

#include <json/value.h>

#include <exception>
#include <string>

#include "util/jsonText.h"
#include "util/utilLog.h"

namespace {

bool isJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Where the answer's JSON object begins, npos when it has none. An answer may come with its
// status line and headers (interim ones first), whose values may hold braces or the word
// "header": those are skipped whole.
size_t objectStart(const std::string& answer) {
    size_t at = 0;
    for (;;) {
        while (at < answer.size() && isJsonSpace(answer[at])) ++at;
        if (answer.compare(at, 5, "HTTP/") != 0) break;
        const size_t crlf = answer.find("\r\n\r\n", at);
        const size_t lf = answer.find("\n\n", at);
        if (crlf == std::string::npos && lf == std::string::npos) return std::string::npos;
        at = crlf < lf ? crlf + 4 : lf + 2;
    }
    return answer.find('{', at);
}

// "body" -> "data" -> "resultList", or null when any step is missing or of another type.
Json::Value resultListOf(const Json::Value& root) {
    const Json::Value* node = &root;
    for (const char* key : {"body", "data", "resultList"}) {
        if (!node->isObject() || !node->isMember(key)) return Json::Value();
        node = &(*node)[key];
    }
    return node->isArray() ? *node : Json::Value();
}

// Only an entry that clearly says the record was taken counts as delivered.
bool isDelivered(const Json::Value& entry) {
    if (!entry.isObject()) return false;
    const Json::Value& flag = entry["isSuccessful"];
    return flag.isConvertibleTo(Json::booleanValue) && !flag.isNull() && flag.asBool();
}

// True when the parse error at offset lies inside value, or value is the empty placeholder the
// reader made for an entry it never got to read.
bool containsOffset(const Json::Value& value, size_t offset) {
    const size_t start = static_cast<size_t>(value.getOffsetStart());
    const size_t limit = static_cast<size_t>(value.getOffsetLimit());
    return start <= offset && (offset < limit || start == limit);
}

// True when the parsed answer is a collector answer: an object with "header" and a
// "resultList" array. A partial parse counts when both were read before the break.
bool isCollectorAnswer(const Json::Value& root, const Json::Value& resultList) {
    return root.isObject() && root.isMember("header") && resultList.isArray();
}

}  // namespace

DeliveryOutcome readCollectorAnswer(const std::string& answer, size_t recordCount) {
    DeliveryOutcome outcome = DeliveryOutcome::all(recordCount, RecordOutcome::NotAnswered);
    if (answer.empty()) return outcome;
    Json::Value root;
    size_t errorOffset = 0;
    bool whole = false;
    try {
        const size_t start = objectStart(answer);
        // A partial parse keeps what came before the error.
        if (start != std::string::npos) {
            whole = jsonText::parse(answer.substr(start), root, errorOffset);
        }
    } catch (const std::exception&) {
        root = Json::Value();
    }
    const Json::Value resultList = resultListOf(root);
    if (!isCollectorAnswer(root, resultList)) {
        _warn_log("not a collector answer: the batch is kept");
        return outcome;
    }
    outcome.collectorAnswered = true;
    Json::ArrayIndex resultCount = resultList.size();
    // The entry being read when the answer broke off says nothing: its result was cut away.
    if (!whole && resultCount > 0 && containsOffset(resultList[resultCount - 1], errorOffset)) {
        --resultCount;
    }
    // Entries beyond the batch have no record; a record without an entry was not taken.
    for (size_t i = 0; i < recordCount && i < resultCount; ++i) {
        const Json::ArrayIndex entry = static_cast<Json::ArrayIndex>(i);
        outcome.records[i] =
            isDelivered(resultList[entry]) ? RecordOutcome::Accepted : RecordOutcome::Refused;
    }
    return outcome;
}
