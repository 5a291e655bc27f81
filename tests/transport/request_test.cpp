// The bytes of a collector request: the plain-HTTP header and the JSON text of one record.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <algorithm>
#include <memory>
#include <string>

#include "transport/httpSender.h"
#include "util/utilUtf8.h"

namespace {

std::string bodyOf(const MapValues& record) {
    std::string text;
    EXPECT_TRUE(HttpSender::_getHttpBody(record, text));
    return text;
}

bool parseStrict(const std::string& text, Json::Value& root, std::string& errors) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(text.data(), text.data() + text.size(), &root, &errors);
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST(HttpHeaderTest, HeaderCarriesHostPortAndBodyLengthOnly) {
    HttpSender sender;
    const std::string header = sender._getHttpHeader("collector.example.com", 80, 1000);
    EXPECT_EQ(header,
              "POST /v2/log HTTP/1.1\r\n"
              "Host: collector.example.com:80\r\n"
              "Content-Type: application/json\r\n"
              "Content-Length: 1000\r\n"
              "\r\n");

    EXPECT_EQ(sender._getHttpHeader("127.0.0.1", 8080, 0),
              "POST /v2/log HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n"
              "Content-Type: application/json\r\nContent-Length: 0\r\n\r\n");
    // A bulk may pass 2 MiB by one record; the length must not be cut or wrapped.
    EXPECT_NE(sender._getHttpHeader("h", 1, 5242881).find("\r\nContent-Length: 5242881\r\n\r\n"),
              std::string::npos);
}

TEST(HttpBodyTest, RecordBecomesCompactObjectWithoutChannelName) {
    EXPECT_EQ(bodyOf({{"handlerName", "quillmark-user"}, {"logLevel", "ERROR"}, {"body", "hi"}}),
              "{\"body\":\"hi\",\"logLevel\":\"ERROR\"}\n");
    // Numbers stay strings; keys follow byte order, capitals and '_' before small letters.
    EXPECT_EQ(bodyOf({{"sendTime", "1700000000123"},
                      {"logLevel", "5"},
                      {"_x", ""},
                      {"Zeta", "z"},
                      {"1", "one"}}),
              "{\"1\":\"one\",\"Zeta\":\"z\",\"_x\":\"\",\"logLevel\":\"5\","
              "\"sendTime\":\"1700000000123\"}\n");
    EXPECT_EQ(bodyOf({}), "{}\n");
    EXPECT_EQ(bodyOf({{"handlerName", "Corvane"}}), "{}\n");

    std::string withChannel;
    EXPECT_TRUE(
        HttpSender::_getHttpOriBody({{"handlerName", "Corvane"}, {"body", "x"}}, withChannel));
    EXPECT_EQ(withChannel, "{\"body\":\"x\",\"handlerName\":\"Corvane\"}\n");
}

TEST(HttpBodyTest, SpecialCharactersAreEscapedAndTheLineEndsOnce) {
    const std::string value =
        std::string("q\"b\\n\nr\rt\tc\x01z\x1F", 14) + std::string(1, '\0') + "end";
    const std::string text = bodyOf({{"body", value}});
    EXPECT_EQ(text, "{\"body\":\"q\\\"b\\\\n\\nr\\rt\\tc\\u0001z\\u001f\\u0000end\"}\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);

    Json::Value root;
    std::string errors;
    ASSERT_TRUE(parseStrict(text, root, errors)) << errors;
    EXPECT_EQ(root["body"].asString(), value);
}

// Values are meant to be UTF-8 already; one that is not must still leave valid JSON, and the
// well-formed text around the bad bytes must come through.
TEST(HttpBodyTest, MegabyteOfBrokenUtf8StillGivesValidJson) {
    const std::string chunk =
        "abc \xC3\xA9 def \xFF"
        "ghij \xC3"
        "klmn \x80"
        "opqr \xE2\x82"
        "stuv \xED\xA0\x80 wxyz ";
    std::string value = "BEGIN-";
    size_t chunks = 0;
    while (value.size() < 1024 * 1024) {
        value += chunk;
        ++chunks;
    }
    value += "-tail-END";
    ASSERT_FALSE(UtilUtf8::is_utf8(value));

    const std::string text =
        bodyOf({{"body", value}, {"handlerName", "quillmark-user"}, {"logLevel", "ERROR"}});
    ASSERT_FALSE(text.empty());
    EXPECT_TRUE(UtilUtf8::is_utf8(text));

    Json::Value root;
    std::string errors;
    ASSERT_TRUE(parseStrict(text, root, errors)) << errors.substr(0, 500);
    ASSERT_TRUE(root.isObject());
    EXPECT_EQ(root.getMemberNames(), (std::vector<std::string>{"body", "logLevel"}));
    EXPECT_EQ(root["logLevel"].asString(), "ERROR");
    const std::string parsed = root["body"].asString();
    EXPECT_EQ(parsed.compare(0, 6, "BEGIN-"), 0);
    ASSERT_GE(parsed.size(), 9u);
    EXPECT_EQ(parsed.substr(parsed.size() - 9), "-tail-END");
    EXPECT_EQ(countOf(parsed, "\xC3\xA9 def "), chunks);
    EXPECT_EQ(countOf(parsed, " wxyz "), chunks);
}

}  // namespace
