// The bytes of a collector request: where it goes (the address read as a URL), the plain-HTTP
// header and the JSON text of one record.
#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transport/plainHttp.h"
#include "transport/recordWriter.h"
#include "util/collectorAddress.h"

namespace {

std::string bodyOf(const MapValues& record) {
    std::string text;
    EXPECT_TRUE(writeRecordObject(record, text));
    return text;
}

bool parseStrict(const std::string& text, Json::Value& root, std::string& errors) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(text.data(), text.data() + text.size(), &root, &errors);
}

// How each form of address is read: the transport connects to host and port and asks for the
// path prefix followed by "/v2/log"; HTTPS gets the same as one URL.
TEST(CollectorAddressTest, UrlFormsGiveHostPortAndPathAndMalformedOnesNothing) {
    struct Case {
        std::string text;
        uint16_t portArgument;
        bool https;
        std::string host;
        uint16_t port;
        std::string prefix;
        std::string url;  // of "/v2/log"
    };
    const std::vector<Case> cases = {
        {"http://collector.example.com", 8080, false, "collector.example.com", 8080, "",
         "http://collector.example.com:8080/v2/log"},
        {"http://h:81", 8080, false, "h", 81, "", "http://h:81/v2/log"},
        {"http://h", 0, false, "h", 80, "", "http://h:80/v2/log"},
        {"https://h", 0, true, "h", 443, "", "https://h:443/v2/log"},
        {"HTTPS://h:8443/", 443, true, "h", 8443, "", "https://h:8443/v2/log"},
        {"hTTp://h/", 80, false, "h", 80, "", "http://h:80/v2/log"},
        {"http://h:65535/base/", 1, false, "h", 65535, "/base", "http://h:65535/base/v2/log"},
        {"http://h/a/b//", 1, false, "h", 1, "/a/b", "http://h:1/a/b/v2/log"},
        {"http://10.0.0.2:8080/x", 0, false, "10.0.0.2", 8080, "/x",
         "http://10.0.0.2:8080/x/v2/log"},
        {"http://[::1]:8080", 0, false, "::1", 8080, "", "http://[::1]:8080/v2/log"},
        {"https://[2001:db8::2]/p", 0, true, "2001:db8::2", 443, "/p",
         "https://[2001:db8::2]:443/p/v2/log"},
        {"http://my_host-1.local", 0, false, "my_host-1.local", 80, "",
         "http://my_host-1.local:80/v2/log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::optional<CollectorAddress> address =
            parseCollectorAddress(c.text, c.portArgument);
        ASSERT_TRUE(address.has_value());
        EXPECT_EQ(address->https, c.https);
        EXPECT_EQ(address->host, c.host);
        EXPECT_EQ(address->port, c.port);
        EXPECT_EQ(address->pathPrefix, c.prefix);
        EXPECT_EQ(address->url("/v2/log"), c.url);
    }
    const std::vector<std::string> malformed = {
        "",
        "h",
        "h:80",
        "//h",
        "ftp://h",
        "httpx://h",
        "http:/h",
        "http://",
        "http:///p",
        "http://h:",
        "http://h:0",
        "http://h:65536",
        "http://h:8o",
        "http://h/?q=1",
        "http://h/#f",
        "http://u:p@h",
        "http://u@h",
        "http://h :80",
        "https//h",
        "http://h /p",
        "http://h/p q",
        "http://h\n",
        "http://[::1",
        "http://[zz::1]",
        "http://[1.2.3.4]",
        "http://::1",
        std::string("http://h\0x", 10),
        "http://h/" + std::string(kMaxCollectorAddressBytes, 'p')};
    for (const std::string& text : malformed) {
        SCOPED_TRACE(text.substr(0, 60));
        EXPECT_FALSE(parseCollectorAddress(text, 80).has_value());
    }
}

TEST(HttpHeaderTest, HeaderCarriesPathHostPortAndBodyLengthOnly) {
    struct Case {
        std::string address;
        uint16_t port;
        size_t length;
        std::string header;
        bool get = false;
    };
    const std::vector<Case> cases = {
        {"http://collector.example.com", 80, 1000,
         "POST /v2/log HTTP/1.1\r\nHost: collector.example.com:80\r\n"
         "Content-Type: application/json\r\nContent-Length: 1000\r\n\r\n"},
        {"http://127.0.0.1:8080/", 1, 0,
         "POST /v2/log HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n"
         "Content-Type: application/json\r\nContent-Length: 0\r\n\r\n"},
        {"http://[::1]/logs/in/", 81, 7,
         "POST /logs/in/v2/log HTTP/1.1\r\nHost: [::1]:81\r\n"
         "Content-Type: application/json\r\nContent-Length: 7\r\n\r\n"},
        // A bulk may pass 2 MiB by one record; the length must not be cut or wrapped.
        {"http://h", 1, 5242881,
         "POST /v2/log HTTP/1.1\r\nHost: h:1\r\n"
         "Content-Type: application/json\r\nContent-Length: 5242881\r\n\r\n"},
        // The settings request sends no body.
        {"http://h/p", 81, 0,
         "GET /p/v2/log HTTP/1.1\r\nHost: h:81\r\nContent-Type: application/json\r\n\r\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        const std::optional<CollectorAddress> address = parseCollectorAddress(c.address, c.port);
        ASSERT_TRUE(address.has_value());
        EXPECT_EQ(plainHttp::requestHead(*address, "/v2/log", c.length, c.get), c.header);
    }
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

// A pass writes each record from its layers (channel fields, own fields, the pass's fields, its
// place in the batch) without merging them first: the text must be exactly that of the merged
// record, where each layer replaces the one before.
struct LayeredRecord {
    const char* name;
    MapValues channel;  // empty: the record has no shared fields (a session record)
    MapValues own;
    MapValues pass;
};

MapValues mergedAsBefore(const LayeredRecord& row, size_t index) {
    MapValues merged = row.channel;
    for (const auto& [key, value] : row.own) merged[key] = value;
    for (const auto& [key, value] : row.pass) merged[key] = value;
    merged["qmkBulkIndex"] = std::to_string(index);
    return merged;
}

}  // namespace

TEST(HttpBodyTest, RecordsWrittenFromTheirLayersReadAsTheMergedRecord) {
    const MapValues channel = {{"handlerName", "quillmark-user"},
                               {"projectName", "App"},
                               {"UserID", "u\"1"},
                               {"logType", "NORMAL"},
                               {"DeviceID", "d-1"},
                               {"build", "42"}};
    const MapValues own = {{"body", "hello\nworld"}, {"logLevel", "ERROR"}, {"sendTime", "t"}};
    const MapValues pass = {{"host", "phone"},
                            {"NetworkModel", "wlan0"},
                            {"NetworkType", "Wifi"},
                            {"logVersion", "v2"}};
    auto with = [](MapValues base, const MapValues& extra) {
        for (const auto& [key, value] : extra) base[key] = value;
        return base;
    };
    const std::vector<LayeredRecord> rows = {
        {"typical", channel, own, pass},
        {"own body over a custom body", with(channel, {{"body", "custom"}}), own, pass},
        {"pass over custom and own", with(channel, {{"host", "c"}, {"logVersion", "c"}}),
         with(own, {{"host", "o"}, {"logVersion", "o"}}), pass},
        {"place over custom and own", with(channel, {{"qmkBulkIndex", "c"}}),
         with(own, {{"qmkBulkIndex", "o"}}), pass},
        {"channel name never written", channel, with(own, {{"handlerName", "other"}}), pass},
        {"keys before and after all", with(channel, {{"AAA", "a"}}),
         with(own, {{"zzz", "z"}, {"0", "n"}}), pass},
        {"broken value in the channel", with(channel, {{"bad", "x\xff\xfey"}}), own, pass},
        {"broken key in the channel", with(channel, {{"k\xff", "v"}, {"k\xfe", "w"}}), own, pass},
        {"broken key of its own", channel, with(own, {{"o\xc3", "v"}}), pass},
        {"no shared fields", {}, with(channel, own), pass},
        {"no own fields", channel, {}, pass},
        {"no pass fields", channel, own, {}},
    };
    // One writer for all: what it keeps of one record's channel must not leak into the next.
    RecordWriter writer;
    std::vector<std::shared_ptr<const MapValues>> kept;
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].name);
        QueuedRecord record(rows[i].own);
        if (!rows[i].channel.empty()) {
            record.shared = std::make_shared<const MapValues>(rows[i].channel);
            kept.push_back(record.shared);
        }
        for (size_t repeat = 0; repeat < 2; ++repeat) {
            std::string text = "before";
            ASSERT_TRUE(writer.append(record, rows[i].pass, i + repeat, text));
            EXPECT_EQ("before" + bodyOf(mergedAsBefore(rows[i], i + repeat)), text);
        }
    }
}
