// Tests of UtilOS.
#include "util/utilOS.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

TEST(UtilOS, PlatformName) {
    EXPECT_EQ(UtilOS::getOSInformation(), "Android(NDK)");
    EXPECT_EQ(UtilOS::getOSInformation().size(), 12u);
}

TEST(UtilOS, ReturnsACopy) {
    std::string first = UtilOS::getOSInformation();
    first = "changed";
    EXPECT_EQ(UtilOS::getOSInformation(), "Android(NDK)");
}

TEST(UtilOS, ConcurrentCalls) {
    std::vector<std::thread> threads;
    std::vector<std::string> results(16);
    for (size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&results, i] {
            for (int k = 0; k < 1000; ++k) results[i] = UtilOS::getOSInformation();
        });
    }
    for (std::thread& t : threads) t.join();
    for (const std::string& r : results) EXPECT_EQ(r, "Android(NDK)");
}
