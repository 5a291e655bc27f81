// The compact writer: text goes out byte for byte when it is well-formed UTF-8, repaired when it
// is not, and the result is always JSON a strict reader accepts.
#include "util/jsonText.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <memory>
#include <string>

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

bool parseStrictly(const std::string& text, Json::Value& root) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &root, &errors);
}

Json::Value objectWith(const std::string& key, const std::string& text) {
    Json::Value object(Json::objectValue);
    object[key] = text;
    return object;
}

}  // namespace

TEST(JsonTextWrite, CompactWithOneLineFeedAndNonAsciiTextRaw) {
    Json::Value record(Json::objectValue);
    record["logType"] = "\xEF\xBB\xBFNETWORKINSIGHTS";
    record["body"] = "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80 \"q\" \\ \x01";
    record["list"].append("a");
    record["list"].append(1);
    EXPECT_EQ(
        "{\"body\":\"caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80 \\\"q\\\" \\\\ \\u0001\","
        "\"list\":[\"a\",1],\"logType\":\"\xEF\xBB\xBFNETWORKINSIGHTS\"}\n",
        jsonText::writeCompact(record));
}

TEST(JsonTextWrite, EachByteOutsideAWellFormedSequenceBecomesOneReplacementCharacter) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        // A lead byte followed by ASCII must not take that ASCII with it.
        {"bad\xC3(\xFF", "bad" + kFffd + "(" + kFffd},
        {"\x80", kFffd},
        {"\xC0\xAF", kFffd + kFffd},                          // overlong "/"
        {"\xE0\x80\xAF", kFffd + kFffd + kFffd},              // overlong, three bytes
        {"\xED\xA0\x80", kFffd + kFffd + kFffd},              // a surrogate
        {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // above U+10FFFF
        {"end \xE2\x82", "end " + kFffd + kFffd},             // cut at the end
        {"\xF4\x8F\xBF\xBF \xED\x9F\xBF", "\xF4\x8F\xBF\xBF \xED\x9F\xBF"},  // the last valid ones
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(c.out, jsonText::repairUtf8(c.in));
        const std::string text = jsonText::writeCompact(objectWith("k", c.in));
        Json::Value root;
        ASSERT_TRUE(parseStrictly(text, root)) << text;
        EXPECT_EQ(c.out, root["k"].asString());
    }
}

TEST(JsonTextWrite, RepairReachesKeysAndNestedValuesAndLeavesTheRestAlone) {
    Json::Value record(Json::objectValue);
    record["ok"] = "\xC3\xA9";
    record["key\xFF"] = 7;
    record["nested"]["list"].append("x\xC3");
    record["nested"]["list"].append(true);
    record["nested"]["list"].append(Json::Value());
    const std::string text = jsonText::writeCompact(record);
    Json::Value root;
    ASSERT_TRUE(parseStrictly(text, root)) << text;
    EXPECT_EQ("\xC3\xA9", root["ok"].asString());
    EXPECT_EQ(7, root["key" + kFffd].asInt());
    EXPECT_EQ("x" + kFffd, root["nested"]["list"][0].asString());
    EXPECT_TRUE(root["nested"]["list"][1].asBool());
    EXPECT_TRUE(root["nested"]["list"][2].isNull());
    // The caller's value is not touched.
    EXPECT_TRUE(record.isMember("key\xFF"));
}

// The map writer of the sending thread against the Json::Value writer, byte for byte: every
// byte in a value and in a key, text that needs repair in values and in keys (where repair may
// make two keys one), and the skipped key.
TEST(JsonTextWrite, MapWriterGivesTheBytesOfTheValueWriter) {
    std::vector<MapValues> rows = {
        {},
        {{"body", "plain"}, {"handlerName", "quillmark-user"}, {"DeviceID", "x"}},
        {{"body", "caf\xE9 \xC3\xA9 \xF0\x9F\x98\x80 \xED\xA0\x80"}},
        {{"caf\xE9", "1"}, {"caf\xEA", "2"}, {"caf\xEF\xBF\xBD", "3"}},
        {{std::string("nul\0inside", 10), std::string("\0", 1)}},
    };
    for (int byte = 0; byte < 256; ++byte) {
        const std::string text(1, static_cast<char>(byte));
        rows.push_back({{"value", text}, {text, "key"}});
    }
    for (const MapValues& fields : rows) {
        for (const char* skip : {static_cast<const char*>(nullptr), "handlerName"}) {
            Json::Value object(Json::objectValue);
            for (const auto& [key, value] : fields) {
                if (skip == nullptr || key != skip) object[key] = value;
            }
            std::string direct = "prefix";
            jsonText::appendCompactObject(fields, skip, direct);
            EXPECT_EQ(direct, "prefix" + jsonText::writeCompact(object));
        }
    }
}

// Fields written from layers (a later layer's value winning) read as the merged fields, for
// any number of layers, null ones skipped.
TEST(JsonText, LayeredObjectIsTheMergedObject) {
    const MapValues a = {{"body", "a"}, {"k1", "a"}, {"z", "a"}};
    const MapValues b = {{"body", "b"}, {"k2", "b"}};
    const MapValues c = {{"a", "c"}, {"k1", "c"}};
    const MapValues d = {{"zz", "d"}};
    const MapValues e = {{"body", "e"}, {"k2", "e"}, {"\xC3\xA9", "e"}};
    const MapValues f = {{"z", "f"}};
    struct Row {
        const char* name;
        std::initializer_list<const MapValues*> layers;
    };
    const Row rows[] = {
        {"one", {&a}},
        {"two, the second winning", {&a, &b}},
        {"four", {&a, &b, &c, &d}},
        {"six", {&a, &b, &c, &d, &e, &f}},
        {"six in another order, nulls among them", {&f, nullptr, &e, &d, &c, nullptr, &b, &a}},
        {"none", {nullptr}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MapValues merged;
        for (const MapValues* layer : row.layers) {
            if (layer == nullptr) continue;
            for (const auto& [key, value] : *layer) merged[key] = value;
        }
        std::string layered;
        jsonText::appendCompactObject(row.layers, nullptr, layered);
        std::string direct;
        jsonText::appendCompactObject(merged, nullptr, direct);
        EXPECT_EQ(layered, direct);
    }
}
