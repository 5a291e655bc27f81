// Opening and closing the crash catcher, and reading files, without crashing. Each scenario
// that installs Breakpad's handler runs in a child, so the test runner keeps its own signal
// handlers.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "crash/reportStack.h"
#include "crash/veskCatcher.h"
#include "crash_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using qm_test::runInChild;
using qm_test::TempDir;

const int kChildTimeoutMs = 20000;

// Where a call on the report stack ran, and what it computed with 512 KiB of its stack: far
// more than the 64 KiB of the thread that makes the call, or than a signal stack.
struct DeepCall {
    uintptr_t blockAddress = 0;
    int sum = 0;
};

void useHalfAMegabyte(void* data) {
    volatile char block[512 * 1024];
    // Page by page from the top, as a deep call would: below a small stack is its guard page.
    for (size_t offset = sizeof block; offset >= 4096; offset -= 4096) block[offset - 1] = 0;
    block[0] = 1;
    block[sizeof block - 1] = 2;
    auto* call = static_cast<DeepCall*>(data);
    call->blockAddress = reinterpret_cast<uintptr_t>(&block[0]);
    call->sum = block[0] + block[sizeof block - 1];
}

// Size of the mapping in /proc/self/maps that holds the address; 0 when none does.
size_t mappingSizeAround(uintptr_t address) {
    std::unique_ptr<FILE, int (*)(FILE*)> maps(fopen("/proc/self/maps", "r"), fclose);
    unsigned long long begin = 0;
    unsigned long long end = 0;
    char line[512];
    while (maps && fgets(line, sizeof line, maps.get()) != nullptr) {
        if (sscanf(line, "%llx-%llx", &begin, &end) == 2 && address >= begin && address < end) {
            return static_cast<size_t>(end - begin);
        }
    }
    return 0;
}

// On a thread with a 64 KiB stack: runs useHalfAMegabyte on a fresh report stack.
void* runDeepCallOnReportStack(void* data) {
    ReportStack stack;
    if (!stack.valid() || !stack.run(useHalfAMegabyte, data)) return nullptr;
    return data;
}

}  // namespace

#if QUILLMARK_WITH_BREAKPAD

namespace {

// Only the function: the C library adds flags of its own when a handler is set again.
bool sameHandler(const struct sigaction& a, const struct sigaction& b) {
    return a.sa_sigaction == b.sa_sigaction;
}

}  // namespace

TEST(CrashCatcher, OpensOnlyOnAUsableDirectory) {
    TempDir storage;
    EXPECT_EQ(0, runInChild(
                     [&] {
                         VeskCatcher catcher;
                         if (catcher.openCrashCatcher()) return 2;
                         catcher.initSdCardPath(storage.file("missing"));
                         if (catcher.openCrashCatcher()) return 3;
                         if (!catcher.dumpDirectory().empty()) return 4;
                         catcher.initSdCardPath(storage.path());
                         return catcher.openCrashCatcher() ? 0 : 5;
                     },
                     kChildTimeoutMs));
}

TEST(CrashCatcher, SecondOpenKeepsTheHandlerAndCloseLetsANewDirectoryIn) {
    TempDir first;
    TempDir second;
    EXPECT_EQ(0, runInChild(
                     [&] {
                         VeskCatcher catcher;
                         catcher.initSdCardPath(first.path());
                         if (!catcher.openCrashCatcher()) return 2;
                         catcher.initSdCardPath(second.path());
                         if (!catcher.openCrashCatcher()) return 3;
                         if (catcher.dumpDirectory() != first.path()) return 4;
                         catcher.closeCrashCatcher();
                         catcher.closeCrashCatcher();  // closed already: nothing happens
                         if (!catcher.dumpDirectory().empty()) return 5;
                         if (!catcher.openCrashCatcher()) return 6;
                         return catcher.dumpDirectory() == second.path() ? 0 : 7;
                     },
                     kChildTimeoutMs));
}

TEST(CrashCatcher, CloseGivesTheSignalsBackToTheirFormerHandlers) {
    TempDir storage;
    EXPECT_EQ(0, runInChild(
                     [&] {
                         struct sigaction before {};
                         struct sigaction open {};
                         struct sigaction after {};
                         sigaction(SIGSEGV, nullptr, &before);
                         VeskCatcher catcher;
                         catcher.initSdCardPath(storage.path());
                         if (!catcher.openCrashCatcher()) return 2;
                         sigaction(SIGSEGV, nullptr, &open);
                         if (sameHandler(before, open)) return 3;
                         catcher.closeCrashCatcher();
                         sigaction(SIGSEGV, nullptr, &after);
                         return sameHandler(before, after) ? 0 : 4;
                     },
                     kChildTimeoutMs));
}

#else

TEST(CrashCatcher, NeverOpensWithoutBreakpad) {
    TempDir storage;
    VeskCatcher catcher;
    catcher.initSdCardPath(storage.path());
    EXPECT_FALSE(catcher.openCrashCatcher());
}

#endif

TEST(ReportStack, RunsTheCallOnItsOwnStackAndComesBack) {
    ASSERT_EQ(0, runInChild(
                     [] {
                         pthread_attr_t attr;
                         pthread_attr_init(&attr);
                         pthread_attr_setstacksize(&attr, 64 * 1024);
                         DeepCall call;
                         pthread_t thread;
                         if (pthread_create(&thread, &attr, runDeepCallOnReportStack, &call) != 0) {
                             return 1;
                         }
                         void* result = nullptr;
                         pthread_join(thread, &result);
                         return result == &call && call.sum == 3 ? 0 : 2;
                     },
                     kChildTimeoutMs));
    ReportStack stack;
    ASSERT_TRUE(stack.valid());
    DeepCall call;
    ASSERT_TRUE(stack.run(useHalfAMegabyte, &call));
    EXPECT_EQ(3, call.sum);
    // The call's frame sat in the report stack's mapping (the guard page below is its own).
    EXPECT_EQ(ReportStack::kSize, mappingSizeAround(call.blockAddress));
}
