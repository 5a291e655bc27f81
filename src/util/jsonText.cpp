#include "util/jsonText.h"

#include <json/reader.h>
#include <json/writer.h>

// The classic reader and writer are deprecated in current jsoncpp, but they are the ones whose
// output and partial-parse behaviour the collector and the stored files are built around.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace jsonText {

std::string writeCompact(const Json::Value& value) {
    Json::FastWriter writer;
    return writer.write(value);
}

bool parse(const char* begin, const char* end, Json::Value& root) {
    Json::Reader reader;
    return reader.parse(begin, end, root, false);
}

bool parse(const std::string& text, Json::Value& root) {
    return parse(text.data(), text.data() + text.size(), root);
}

bool parse(const std::string& text, Json::Value& root, size_t& errorOffset) {
    Json::Reader reader;
    if (reader.parse(text.data(), text.data() + text.size(), root, false)) return true;
    const auto errors = reader.getStructuredErrors();
    errorOffset = errors.empty() ? text.size() : static_cast<size_t>(errors.front().offset_start);
    return false;
}

}  // namespace jsonText

#pragma GCC diagnostic pop
