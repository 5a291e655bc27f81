// Repeated records: the ten-key memory, what makes two records the same, which keys are
// forgotten when it is full, refused record texts, and the switch through the whole library.
#include <gtest/gtest.h>
#include <json/json.h>

#include <string>
#include <vector>

#include "platform/host_capture.h"
#include "support/record_queries.h"
#include "support/scripted_library.h"
#include "support/temp_dir.h"
#include "transport/repeatFilter.h"
#include "util/jsonText.h"

using qm_test::TempDir;

namespace {

const int kDeliveryMs = 10000;
const char* const kUser = VESK_CHANNEL_USER;

struct Fields {
    std::string body;
    std::string level = "ERROR";
    std::string type = "app";
    std::string sendTime = "1700000000000";
};

MapValues recordText(const Fields& fields) {
    return {{"body", fields.body},
            {"logLevel", fields.level},
            {"logType", fields.type},
            {"sendTime", fields.sendTime}};
}

MapValues recordText(const std::string& body) { return recordText(Fields{body}); }

class DedupTest : public ::testing::Test {
protected:
    void SetUp() override {
        qm_platform::setLogToStderr(false);
        qm_platform::startLogCapture();
    }
    void TearDown() override {
        qm_platform::stopLogCapture();
        qm_platform::setLogToStderr(true);
    }

    bool dropped(const MapValues& record, const std::string& channel = "quillmark-user") {
        return m_filter.isRepeat(QueuedRecord(record), channel);
    }
    bool dropped(const Fields& fields, const std::string& channel = "quillmark-user") {
        return dropped(recordText(fields), channel);
    }

    RepeatFilter m_filter;
};

}  // namespace

TEST_F(DedupTest, SameBodyLevelTypeAndChannelIsSentOnce) {
    EXPECT_FALSE(dropped(Fields{"disk full"}));
    EXPECT_TRUE(dropped(Fields{"disk full"}));
    EXPECT_TRUE(dropped(Fields{"disk full"}));
    // Time and other fields do not make a record new.
    EXPECT_TRUE(dropped(Fields{"disk full", "ERROR", "app", "1800000000000"}));

    // Another channel, level or type does.
    EXPECT_FALSE(dropped(Fields{"disk full"}, "Corvane"));
    EXPECT_FALSE(dropped(Fields{"disk full", "INFO"}));
    EXPECT_FALSE(dropped(Fields{"disk full", "ERROR", "other"}));
    // Parts that only run together the same way stay different records.
    EXPECT_FALSE(dropped(Fields{"x", "INFO", "ab"}, "c"));
    EXPECT_FALSE(dropped(Fields{"x", "INFO", "a"}, "bc"));
    EXPECT_TRUE(qm_platform::capturedLogLines().empty());
}

// Ten keys in ascending order with counts 0,0,3,1,0,2,0,0,4,0: an eleventh key forgets the
// five 0-count keys with the smallest keys (k0, k1, k4, k6, k7) and keeps k9, the sixth.
TEST_F(DedupTest, FullMemoryForgetsTheLeastRepeatedHalfSmallerKeysFirst) {
    const int counts[10] = {0, 0, 3, 1, 0, 2, 0, 0, 4, 0};
    for (int i = 0; i < 10; ++i) {
        const std::string body = "k" + std::to_string(i);
        EXPECT_FALSE(dropped(recordText(body)));
        for (int repeat = 0; repeat < counts[i]; ++repeat) EXPECT_TRUE(dropped(recordText(body)));
    }
    EXPECT_FALSE(dropped(recordText("new")));

    // Kept keys are still dropped; checking them adds nothing to the memory.
    for (const char* kept : {"k2", "k3", "k5", "k8", "k9", "new"}) {
        EXPECT_TRUE(dropped(recordText(kept))) << kept;
    }
    // A forgotten key is sent once more and remembered anew.
    for (const char* forgotten : {"k0", "k1", "k4", "k6", "k7"}) {
        EXPECT_FALSE(dropped(recordText(forgotten))) << forgotten;
        EXPECT_TRUE(dropped(recordText(forgotten))) << forgotten;
    }
}

TEST_F(DedupTest, MissingMembersReadAsEmpty) {
    EXPECT_FALSE(dropped(MapValues{{"logLevel", "INFO"}}));
    EXPECT_TRUE(dropped(MapValues{{"body", ""}, {"logLevel", "INFO"}, {"logType", ""}}));
}

// With the switch on (the default) a repeated message arrives once; switched off, every repeat
// arrives; switched on again, the message is still remembered.
TEST(DedupEndToEnd, SwitchDecidesWhetherRepeatsArrive) {
    qm_test::ScriptedLibrary library;
    TempDir storage;
    auto arrived = [&](const char* body) {
        return qm_test::withField(library.collector.records(), "body", body).size();
    };
    ASSERT_EQ(0, library.init("DedupApp", storage.path(), true));
    for (int i = 0; i < 3; ++i) library.core.sendLog(VESK_LL_ERROR, "repeated", kUser);
    library.core.startSendThread();
    ASSERT_TRUE(qm_test::waitUntil([&] { return arrived("repeated") > 0; }, kDeliveryMs));
    library.core.setDeduplicate(false, kUser);
    for (int i = 0; i < 2; ++i) library.core.sendLog(VESK_LL_ERROR, "repeated", kUser);
    // The switch counts when the sending thread takes the records, not when they are queued.
    ASSERT_TRUE(qm_test::waitUntil([&] { return arrived("repeated") >= 3; }, kDeliveryMs));
    library.core.setDeduplicate(true, kUser);
    library.core.sendLog(VESK_LL_ERROR, "repeated", kUser);
    library.core.sendLog(VESK_LL_ERROR, "last", kUser);
    ASSERT_TRUE(qm_test::waitUntil([&] { return arrived("last") > 0; }, kDeliveryMs));
    library.core.destory();
    EXPECT_EQ(3u, arrived("repeated"));
}
