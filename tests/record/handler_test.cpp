// Tests of the channel record: getHandleToMap and setField.
#include "record/handler.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

// A channel filled the way initialisation fills it, plus every other string field.
Handler fullHandler() {
    Handler h;
    h.m_handlerName = "quillmark-user";
    h.m_projectName = "proj";
    h.m_projectVersion = "1.0.0";
    h.m_logType = "type";
    h.m_logSource = "source";
    h.m_userId = "user";
    h.m_crashStyle = "android-cpp";
    h.m_symMethod = "breakpad";
    h.m_deviceModel = "Pixel";
    h.m_platform = "Android(NDK)";
    h.m_deviceID = "dev";
    h.m_sessionID = "sess";
    h.m_sdkVersion = "ndk-2.6.2";
    // Fields that never reach a record.
    h.m_Addr = "http://collector";
    h.m_sdCardPath = "/sdcard";
    h.m_directoryPath = "/sdcard/quillmark/proj";
    h.m_deviceIdPath = "/sdcard/quillmark/proj/deviceID.db";
    return h;
}

}  // namespace

TEST(HandlerSetField, SetsOnlyNonEmptyPairs) {
    MapValues map;
    Handler::setField(map, "k", "v");
    EXPECT_EQ(map, (MapValues{{"k", "v"}}));
    Handler::setField(map, "k", "w");  // replaced
    EXPECT_EQ(map, (MapValues{{"k", "w"}}));
    Handler::setField(map, "k", "");  // an empty value neither replaces nor erases
    EXPECT_EQ(map, (MapValues{{"k", "w"}}));
    Handler::setField(map, "", "v");
    EXPECT_EQ(map, (MapValues{{"k", "w"}}));
    Handler::setField(map, "", "");
    EXPECT_EQ(map, (MapValues{{"k", "w"}}));
    Handler::setField(map, "x", " ");  // a blank is not empty
    EXPECT_EQ(map.at("x"), " ");
}

TEST(HandlerMap, NewHandlerGivesEmptyMap) {
    const Handler h;
    EXPECT_TRUE(h.getHandleToMap().empty());
    EXPECT_EQ(h.m_elogLevel, VESK_LL_INFO);
    EXPECT_FALSE(h.m_isDeduplicate);
    EXPECT_FALSE(h.clientHost);
    EXPECT_EQ(h.m_Port, 0);
}

TEST(HandlerMap, AllFieldsUnderTheirKeys) {
    const MapValues expected = {
        {"handlerName", "quillmark-user"},
        {"projectName", "proj"},
        {"projectVersion", "1.0.0"},
        {"logType", "type"},
        {"logSource", "source"},
        {"UserID", "user"},
        {"CrashStyle", "android-cpp"},
        {"SymMethod", "breakpad"},
        {"DeviceModel", "Pixel"},
        {"Platform", "Android(NDK)"},
        {"DeviceID", "dev"},
        {"SessionID", "sess"},
        {"SdkVersion", "ndk-2.6.2"},
    };
    EXPECT_EQ(fullHandler().getHandleToMap(), expected);
}

TEST(HandlerMap, EachFieldAlone) {
    std::string Handler::*fields[] = {
        &Handler::m_handlerName, &Handler::m_projectName, &Handler::m_projectVersion,
        &Handler::m_logType,     &Handler::m_logSource,   &Handler::m_userId,
        &Handler::m_crashStyle,  &Handler::m_symMethod,   &Handler::m_deviceModel,
        &Handler::m_platform,    &Handler::m_deviceID,    &Handler::m_sessionID,
        &Handler::m_sdkVersion};
    const char* keys[] = {"handlerName", "projectName", "projectVersion", "logType",
                          "logSource",   "UserID",      "CrashStyle",     "SymMethod",
                          "DeviceModel", "Platform",    "DeviceID",       "SessionID",
                          "SdkVersion"};
    for (size_t i = 0; i < sizeof(keys) / sizeof(keys[0]); ++i) {
        Handler h;
        h.*fields[i] = "value";
        EXPECT_EQ(h.getHandleToMap(), (MapValues{{keys[i], "value"}})) << keys[i];
    }
}

// Custom fields come last: they add keys, replace fixed ones (one whose field is empty too),
// and an empty key or value is skipped. One channel serves every row, so a map left over from
// an earlier row would show.
TEST(HandlerMap, CustomFieldsAddOrReplaceKeysAndEmptyOnesAreSkipped) {
    struct Row {
        const char* name;
        std::map<std::string, std::string> custom;
        MapValues changed;  // from the channel's own map
    };
    const std::vector<Row> rows = {
        {"added and replacing",
         {{"projectName", "other"}, {"extra", "1"}, {"SdkVersion", "custom-sdk"}},
         {{"projectName", "other"}, {"extra", "1"}, {"SdkVersion", "custom-sdk"}}},
        {"the key of an empty field", {{"UserID", "from-custom"}}, {{"UserID", "from-custom"}}},
        {"empty value or key", {{"projectName", ""}, {"", "orphan"}, {"emptyValue", ""}}, {}},
    };
    Handler h = fullHandler();
    h.m_userId.clear();
    const MapValues own = h.getHandleToMap();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        h.m_custom_fields = row.custom;
        MapValues expected = own;
        for (const auto& [key, value] : row.changed) expected[key] = value;
        EXPECT_EQ(h.getHandleToMap(), expected);
        EXPECT_EQ(h.m_projectName, "proj");  // the channel itself is unchanged
    }
}

TEST(HandlerMap, NonAsciiAndLongValuesAreCopiedVerbatim) {
    Handler h;
    h.m_userId = std::string("a\0b\xC3\xA9", 5);
    h.m_custom_fields["big"] = std::string(1 << 20, 'z');
    const MapValues map = h.getHandleToMap();
    EXPECT_EQ(map.at("UserID"), std::string("a\0b\xC3\xA9", 5));
    EXPECT_EQ(map.at("big").size(), 1u << 20);
}
