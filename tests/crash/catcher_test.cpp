// Opening and closing the crash catcher, and reading files, without crashing. Each scenario
// that installs Breakpad's handler runs in a child, so the test runner keeps its own signal
// handlers.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "crash/veskCatcher.h"
#include "crash_support.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

using qm_test::runInChild;
using qm_test::TempDir;

const int kChildTimeoutMs = 20000;

size_t openDescriptors() {
    size_t count = 0;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc/self/fd"), closedir);
    while (dir && readdir(dir.get()) != nullptr) ++count;
    return count;
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
                         if (catcher.openCrashCatcher(false, VESK_LANG_DEFAULT)) return 2;
                         catcher.initSdCardPath(storage.file("missing"));
                         if (catcher.openCrashCatcher(false, VESK_LANG_DEFAULT)) return 3;
                         if (!catcher.dumpDirectory().empty()) return 4;
                         catcher.initSdCardPath(storage.path());
                         return catcher.openCrashCatcher(false, VESK_LANG_DEFAULT) ? 0 : 5;
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
                         if (!catcher.openCrashCatcher(false, VESK_LANG_DEFAULT)) return 2;
                         catcher.initSdCardPath(second.path());
                         if (!catcher.openCrashCatcher(false, VESK_LANG_DEFAULT)) return 3;
                         if (catcher.dumpDirectory() != first.path()) return 4;
                         catcher.closeCrashCatcher();
                         catcher.closeCrashCatcher();  // closed already: nothing happens
                         if (!catcher.dumpDirectory().empty()) return 5;
                         if (!catcher.openCrashCatcher(false, VESK_LANG_DEFAULT)) return 6;
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
                         if (!catcher.openCrashCatcher(false, VESK_LANG_DEFAULT)) return 2;
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
    EXPECT_FALSE(catcher.openCrashCatcher(false, VESK_LANG_DEFAULT));
}

#endif

TEST(CrashCatcher, ReadFileToStringReadsWholeFilesAndRefusesEmptyOnes) {
    TempDir dir;
    const std::string bytes("MDMP\0\x01\xff tail", 11);
    qm_test::writeFileText(dir.file("dump"), bytes);
    qm_test::writeFileText(dir.file("empty"), "");
    const size_t descriptors = openDescriptors();

    std::string content;
    EXPECT_TRUE(VeskCatcher::readFileToString(dir.file("dump"), content));
    EXPECT_EQ(bytes, content);
    EXPECT_FALSE(VeskCatcher::readFileToString(dir.file("empty"), content));
    EXPECT_FALSE(VeskCatcher::readFileToString(dir.file("missing"), content));
    EXPECT_EQ(descriptors, openDescriptors());
}
