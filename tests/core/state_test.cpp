// A library on a state of its own: what the channel registry and the crash catcher promise an
// application whatever else holds them.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "core/vesk2.h"
#include "platform/host_capture.h"
#include "support/scripted_transport.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Library {
    qm_test::ScriptedCollector collector;
    LibraryState state{collector.factory()};
    qm_test::TempDir storage;
    VESK2Log core{state};

    Library() { qm_platform::setLogToStderr(false); }
    ~Library() { qm_platform::setLogToStderr(true); }
    int initialize(const char* channel, const std::string& root) {
        return core.initialize("state-test", root.c_str(), "1.0.0", nullptr, nullptr,
                               "http://collector.test", 80, true, false, channel);
    }
};

// A registry that another thread keeps for longer than an application may wait: each call an
// application makes refuses after the bound instead of waiting with it, and works again once
// the registry is free.
TEST(LibraryStateRegistry, ApplicationCallsRefuseWhenTheRegistryStaysBusy) {
    Library library;
    ASSERT_EQ(0, library.initialize(VESK_CHANNEL_USER, library.storage.path()));
    std::promise<void> holding;
    std::promise<void> release;
    std::thread holder([&] {
        library.state.registry.forEach([&, once = true](const Handler&, RecordJournal*) mutable {
            if (!once) return;
            once = false;
            holding.set_value();
            release.get_future().wait();
        });
    });
    holding.get_future().wait();
    struct Row {
        const char* call;
        std::function<bool()> run;
    };
    VESK2Log& core = library.core;
    const Row rows[] = {
        {"sendLog", [&] { return core.sendLog(VESK_LL_ERROR, "while busy", VESK_CHANNEL_USER); }},
        {"addGlobalField", [&] { return core.addGlobalField("k", "v", VESK_CHANNEL_USER); }},
        {"getUserId", [&] { return core.getUserId(VESK_CHANNEL_USER) != nullptr; }},
        {"initialize",
         [&] {
             return library.initialize("second", library.storage.path()) == 0 &&
                    library.state.registry.contains("second");
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.call);
        const Clock::time_point start = Clock::now();
        EXPECT_FALSE(row.run());
        // The holder never lets go while the rows run: a call that returned waited its bound.
        EXPECT_GE(Clock::now() - start, ChannelRegistry::kAppWait);
    }
    release.set_value();
    holder.join();
    EXPECT_TRUE(core.sendLog(VESK_LL_ERROR, "once free", VESK_CHANNEL_USER));
    EXPECT_TRUE(core.addGlobalField("k", "v", VESK_CHANNEL_USER));
}

// The crash record and the kept crashes are the main channel's, so only its registration
// points the catcher at a dump directory: a channel of another name does not open it, and
// initialising such a channel again later does not move the dumps.
TEST(LibraryStateCatcher, OnlyTheMainChannelPointsTheCatcherAtItsDirectory) {
    Library library;
    qm_test::TempDir otherStorage;
    ASSERT_EQ(0, library.initialize("custom", library.storage.path()));
    EXPECT_FALSE(library.core.openCrashCatcher());
#if QUILLMARK_WITH_BREAKPAD
    ASSERT_EQ(0, library.initialize(VESK_CHANNEL_USER, library.storage.path()));
    ASSERT_TRUE(library.core.openCrashCatcher());
    const std::string mainDirectory = library.storage.path() + "/quillmark/state-test";
    EXPECT_EQ(mainDirectory, gs_crashCatcher.dumpDirectory());
    library.core.closeCrashCatcher();
    ASSERT_EQ(0, library.initialize("custom-2", otherStorage.path()));
    ASSERT_TRUE(library.core.openCrashCatcher());
    EXPECT_EQ(mainDirectory, gs_crashCatcher.dumpDirectory());
    library.core.closeCrashCatcher();
#endif
}

}  // namespace
