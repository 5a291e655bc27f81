// Evaluation of the collector's answer: the records it did not accept go to local storage.
#include <json/value.h>

#include <exception>
#include <sstream>
#include <string>

#include "transport/httpSender.h"
#include "util/jsonText.h"
#include "util/utilLog.h"

namespace {

// The line of the answer that carries the JSON result, or "" when there is none.
std::string findResultLine(const std::string& message) {
    std::istringstream lines(message);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("{\"header\"") != std::string::npos) return line;
    }
    return std::string();
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

bool parseSentArray(const std::string& body, Json::Value& sent) {
    jsonText::parse(body, sent);
    return sent.isArray();
}

}  // namespace

bool HttpSender::storeWholeBulk(const std::string& body, const std::string& handlerName) {
    Json::Value sent;
    if (!parseSentArray(body, sent)) return false;
    for (const Json::Value& record : sent) {
        const std::string text = jsonText::writeCompact(record);
        _info_log("write !!");
        save_local_storage(text, handlerName);
    }
    return true;
}

bool HttpSender::is_collector_message(const std::string& message, const std::string& body,
                                      const std::string& handlerName, bool answerCut) {
    if (message.empty()) return storeWholeBulk(body, handlerName);
    try {
        const std::string line = findResultLine(message);
        if (line.empty()) return false;
        Json::Value root;
        size_t errorOffset = 0;
        // A partial parse keeps what came before the error.
        const bool whole = jsonText::parse(line, root, errorOffset);
        if (root.isNull()) return false;
        const Json::Value resultList = resultListOf(root);
        Json::Value sent;
        if (!parseSentArray(body, sent)) return false;

        const Json::ArrayIndex sentCount = sent.size();
        Json::ArrayIndex resultCount = resultList.isArray() ? resultList.size() : 0;
        // The entry being read when the line broke off says nothing: its result was cut away.
        if (!whole && resultCount > 0 && containsOffset(resultList[resultCount - 1], errorOffset)) {
            --resultCount;
        }
        for (Json::ArrayIndex i = 0; i < sentCount; ++i) {
            // Entries beyond the batch have no record; records beyond the entries count as
            // delivered, unless the answer was cut and their results were never read.
            const bool hasResult = i < resultCount;
            if (hasResult ? isDelivered(resultList[i]) : !answerCut) continue;
            _info_log("write");
            save_local_storage(jsonText::writeCompact(sent[i]), handlerName);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
