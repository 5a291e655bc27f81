// Tests of the channel record: getHandleToMap and setField.
#include "record/handler.h"

#include <gtest/gtest.h>

#include <string>

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

// A freshly initialised channel: what the log core fills, nothing else.
Handler initialisedHandler() {
    Handler h;
    h.m_handlerName = "quillmark-user";
    h.m_projectName = "proj";
    h.m_projectVersion = "1.0.0";
    h.m_logType = "type";
    h.m_logSource = "source";
    h.m_crashStyle = "android-cpp";
    h.m_symMethod = "breakpad";
    h.m_platform = "Android(NDK)";
    h.m_sessionID = "sess";
    h.m_sdkVersion = "ndk-2.6.2";
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

TEST(HandlerMap, FreshChannel) {
    const MapValues expected = {
        {"handlerName", "quillmark-user"},
        {"projectName", "proj"},
        {"projectVersion", "1.0.0"},
        {"logType", "type"},
        {"logSource", "source"},
        {"CrashStyle", "android-cpp"},
        {"SymMethod", "breakpad"},
        {"Platform", "Android(NDK)"},
        {"SessionID", "sess"},
        {"SdkVersion", "ndk-2.6.2"},
    };
    EXPECT_EQ(initialisedHandler().getHandleToMap(), expected);
}

TEST(HandlerMap, EmptyFieldsGiveNoKey) {
    Handler h = fullHandler();
    h.m_userId.clear();
    h.m_deviceModel.clear();
    const MapValues map = h.getHandleToMap();
    EXPECT_EQ(map.count("UserID"), 0u);
    EXPECT_EQ(map.count("DeviceModel"), 0u);
    EXPECT_EQ(map.size(), 11u);
    for (const auto& entry : map) EXPECT_FALSE(entry.second.empty()) << entry.first;
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

TEST(HandlerMap, CustomFieldsAreAddedAndOverride) {
    Handler h = initialisedHandler();
    h.m_custom_fields["projectName"] = "other";
    h.m_custom_fields["extra"] = "1";
    h.m_custom_fields["SdkVersion"] = "custom-sdk";
    const MapValues map = h.getHandleToMap();
    EXPECT_EQ(map.at("projectName"), "other");
    EXPECT_EQ(map.at("extra"), "1");
    EXPECT_EQ(map.at("SdkVersion"), "custom-sdk");
    EXPECT_EQ(map.at("handlerName"), "quillmark-user");
    EXPECT_EQ(map.size(), 11u);
    EXPECT_EQ(h.m_projectName, "proj");  // the channel itself is unchanged
}

TEST(HandlerMap, EmptyCustomValueOrKeyIsSkipped) {
    Handler h = initialisedHandler();
    h.m_custom_fields["projectName"] = "";
    h.m_custom_fields[""] = "orphan";
    h.m_custom_fields["emptyValue"] = "";
    const MapValues map = h.getHandleToMap();
    EXPECT_EQ(map.at("projectName"), "proj");
    EXPECT_EQ(map.count(""), 0u);
    EXPECT_EQ(map.count("emptyValue"), 0u);
    EXPECT_EQ(map, initialisedHandler().getHandleToMap());
}

TEST(HandlerMap, CustomFieldCanAddAKeyWhoseFieldIsEmpty) {
    Handler h = initialisedHandler();
    h.m_custom_fields["UserID"] = "from-custom";
    EXPECT_EQ(h.getHandleToMap().at("UserID"), "from-custom");
}

TEST(HandlerMap, ReturnedMapsAreIndependent) {
    Handler h = initialisedHandler();
    h.m_custom_fields["c"] = "1";
    MapValues first = h.getHandleToMap();
    const MapValues second = h.getHandleToMap();
    EXPECT_EQ(first, second);
    first["projectName"] = "changed";
    first["c"] = "2";
    first["body"] = "added";
    first.erase("handlerName");
    EXPECT_EQ(second.at("projectName"), "proj");
    EXPECT_EQ(second.at("c"), "1");
    EXPECT_EQ(second.count("body"), 0u);
    EXPECT_EQ(second.count("handlerName"), 1u);
    EXPECT_EQ(h.m_projectName, "proj");
    EXPECT_EQ(h.m_custom_fields.at("c"), "1");
    EXPECT_EQ(h.getHandleToMap(), second);
    // And the channel changing later does not reach a map already built.
    h.m_projectName = "renamed";
    EXPECT_EQ(second.at("projectName"), "proj");
    EXPECT_EQ(h.getHandleToMap().at("projectName"), "renamed");
}

TEST(HandlerMap, SdkVersionIsCopiedAsSet) {
    Handler corvane = initialisedHandler();
    corvane.m_handlerName = "Corvane";
    corvane.m_isCorvane = true;
    corvane.m_sdkVersion = std::string("ndk-corvaen-") + VESK_SDK_VERSION;
    EXPECT_EQ(corvane.getHandleToMap().at("SdkVersion"), "ndk-corvaen-2.6.2");
    Handler user = initialisedHandler();
    user.m_sdkVersion = std::string("ndk-") + VESK_SDK_VERSION;
    EXPECT_EQ(user.getHandleToMap().at("SdkVersion"), "ndk-2.6.2");
}

TEST(HandlerMap, NonAsciiAndLongValuesAreCopiedVerbatim) {
    Handler h;
    h.m_userId = std::string("a\0b\xC3\xA9", 5);
    h.m_custom_fields["big"] = std::string(1 << 20, 'z');
    const MapValues map = h.getHandleToMap();
    EXPECT_EQ(map.at("UserID"), std::string("a\0b\xC3\xA9", 5));
    EXPECT_EQ(map.at("big").size(), 1u << 20);
}
