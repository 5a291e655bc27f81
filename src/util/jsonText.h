// Reading and writing JSON text the way records travel: compact, one object and a line feed.
#pragma once

#include <json/value.h>

#include <initializer_list>
#include <string>

#include "util/vesk2Utils.h"

namespace jsonText {

// Compact text (no white space, members in key order) followed by one line feed. Strings are
// written byte for byte (only quotes, backslashes and control characters are escaped); text
// that is not well-formed UTF-8 is written as repairUtf8 leaves it, so the result is always
// valid JSON.
std::string writeCompact(const Json::Value& value);

// The same text as writeCompact of an object holding fields' strings, without skipKey (when
// not null), written straight from the map: records are written once per pass, and building a
// Json::Value of them first cost more than the rest of the pass.
void appendCompactObject(const MapValues& fields, const char* skipKey, std::string& out);
// The same of the fields of the layers merged by forEachField (a later layer's value wins), so
// a record's fields need not be copied into one map to be written.
void appendCompactObject(std::initializer_list<const MapValues*> layers, const char* skipKey,
                         std::string& out);

// True when text is well-formed UTF-8. A key that is not is repaired on the way out, which can
// make two keys equal or change their order.
bool isWellFormedUtf8(const std::string& text);
// Appends one member, "key":"value", as appendCompactObject writes it; key must be well-formed.
void appendMember(const std::string& key, const std::string& value, std::string& out);

// Each byte that does not belong to a well-formed UTF-8 sequence becomes U+FFFD; everything
// else is kept as it is.
std::string repairUtf8(const std::string& text);

// Parses text into root. Returns true on success. On a parse error root keeps what was parsed
// before the error (possibly null) and false is returned.
bool parse(const std::string& text, Json::Value& root);
// As above; on a parse error errorOffset is set to where in text the error was found.
bool parse(const std::string& text, Json::Value& root, size_t& errorOffset);

}  // namespace jsonText
