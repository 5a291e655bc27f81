// Evaluation of the collector's answer: the records it did not accept go to local storage, and
// so does the whole batch when the answer is not a collector answer.
#include <json/value.h>

#include <exception>
#include <string>
#include <vector>

#include "transport/httpSender.h"
#include "util/jsonText.h"
#include "util/utilLog.h"

namespace {

// The answer from its JSON object on, which begins with "header" (a status line and headers
// may come before it); "" when there is none. The object may span several lines.
std::string findResultText(const std::string& message) {
    const size_t start = message.find("{\"header\"");
    return start == std::string::npos ? std::string() : message.substr(start);
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

// True when the parsed answer is a collector answer: an object with "header" and a
// "resultList" array. A partial parse counts when both were read before the break.
bool isCollectorAnswer(const Json::Value& root, const Json::Value& resultList) {
    return root.isObject() && root.isMember("header") && resultList.isArray();
}

std::vector<std::string> recordTexts(const Json::Value& sent) {
    std::vector<std::string> texts;
    texts.reserve(sent.size());
    for (const Json::Value& record : sent) texts.push_back(jsonText::writeCompact(record));
    return texts;
}

}  // namespace

bool HttpSender::storeWholeBulk(const std::string& body, const std::string& handlerName) {
    Json::Value sent;
    if (!parseSentArray(body, sent)) return false;
    for (Json::ArrayIndex i = 0; i < sent.size(); ++i) _info_log("write !!");
    storeRecords(recordTexts(sent), handlerName);
    return true;
}

// answerCut needs no case of its own: the records whose entries were cut away have none.
bool HttpSender::is_collector_message(const std::string& message, const std::string& body,
                                      const std::string& handlerName, bool /*answerCut*/) {
    Json::Value sent;
    try {
        if (!parseSentArray(body, sent)) return false;
    } catch (const std::exception&) {
        return false;
    }
    if (message.empty()) return storeWholeBulk(body, handlerName);
    Json::Value root;
    size_t errorOffset = 0;
    bool whole = false;
    try {
        const std::string text = findResultText(message);
        // A partial parse keeps what came before the error.
        if (!text.empty()) whole = jsonText::parse(text, root, errorOffset);
    } catch (const std::exception&) {
        root = Json::Value();
    }
    const Json::Value resultList = resultListOf(root);
    if (!isCollectorAnswer(root, resultList)) {
        _warn_log("not a collector answer: the batch is kept");
        return storeWholeBulk(body, handlerName);
    }
    Json::ArrayIndex resultCount = resultList.size();
    // The entry being read when the line broke off says nothing: its result was cut away.
    if (!whole && resultCount > 0 && containsOffset(resultList[resultCount - 1], errorOffset)) {
        --resultCount;
    }
    std::vector<std::string> notTaken;
    for (Json::ArrayIndex i = 0; i < sent.size(); ++i) {
        // Entries beyond the batch have no record; a record without an entry was not taken.
        if (i < resultCount && isDelivered(resultList[i])) continue;
        _info_log("write");
        notTaken.push_back(jsonText::writeCompact(sent[i]));
    }
    if (!notTaken.empty()) storeRecords(notTaken, handlerName);
    return true;
}
