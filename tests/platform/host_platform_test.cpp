// The host stand-ins for the Android log and system properties.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/host_capture.h"
#include "platform/qm_platform.h"

TEST(HostPlatform, PropertiesComeFromEnvironmentWithNonAlphanumericsAsUnderscores) {
    setenv("ANDROID_PROP_ro_product_model", "Pixel Test", 1);
    char value[PROP_VALUE_MAX] = "stale";
    EXPECT_EQ(10, __system_property_get("ro.product.model", value));
    EXPECT_STREQ("Pixel Test", value);

    unsetenv("ANDROID_PROP_ro_product_model");
    EXPECT_EQ(0, __system_property_get("ro.product.model", value));
    EXPECT_STREQ("", value);

    // Values longer than a property can hold are cut, never overrun.
    setenv("ANDROID_PROP_a_b", std::string(500, 'x').c_str(), 1);
    char bounded[PROP_VALUE_MAX];
    EXPECT_EQ(PROP_VALUE_MAX - 1, __system_property_get("a-b", bounded));
    EXPECT_EQ(std::string(PROP_VALUE_MAX - 1, 'x'), bounded);
    unsetenv("ANDROID_PROP_a_b");
    EXPECT_EQ(0, __system_property_get(nullptr, bounded));
}

TEST(HostPlatform, LogLinesCarryPriorityTagAndTextAndCanBeCaptured) {
    qm_platform::setLogToStderr(false);
    qm_platform::startLogCapture();
    __android_log_print(ANDROID_LOG_INFO, "NDK", "%s", "hello");
    __android_log_print(ANDROID_LOG_ERROR, "X", "%d-%s", 7, "y");
    EXPECT_EQ((std::vector<std::string>{"I/NDK: hello", "E/X: 7-y"}),
              qm_platform::capturedLogLines());
    qm_platform::stopLogCapture();
    __android_log_print(ANDROID_LOG_INFO, "NDK", "%s", "not kept");
    EXPECT_TRUE(qm_platform::capturedLogLines().empty());
    qm_platform::setLogToStderr(true);
}
