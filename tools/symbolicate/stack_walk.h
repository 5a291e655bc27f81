// Reads what Breakpad's minidump_stackwalk makes of a dump: its machine-readable listing (-m)
// gives the crash, the modules and every thread's frames; its plain listing adds how each frame
// was found, which the other leaves out.
#pragma once

#include <string>
#include <vector>

namespace symbolicate {

struct Module {
    std::string file;
    std::string debugFile;
    std::string debugId;
    std::string base;
    bool main = false;
    // Whether a symbol file for it is in one of the stores given.
    bool hasSymbols = false;
};

struct Frame {
    int index = 0;
    // Empty when the address lies in no module.
    std::string module;
    std::string function;
    std::string file;
    int line = 0;
    // From the function, the line or the module, whichever is the nearest known (-m's rule);
    // the absolute address when there is no module.
    std::string offset;
    std::string foundBy;
    // Found by scanning the stack for values that look like return addresses: maybe no caller.
    bool scanned = false;
};

struct Thread {
    int index = 0;
    std::vector<Frame> frames;
};

struct Crash {
    std::string reason;
    std::string address;
    int crashedThread = -1;
    std::vector<Module> modules;
    // The crashed thread first, then the others in the dump's order.
    std::vector<Thread> threads;

    const Module* moduleNamed(const std::string& file) const;
};

// False, with `error` set, when `machine` is not minidump_stackwalk -m output of a dump.
bool parseMachineListing(const std::string& machine, Crash& crash, std::string& error);
// Sets each frame's foundBy and scanned from the plain listing of the same dump.
void addHowFramesWereFound(const std::string& plain, Crash& crash);
// Sets hasSymbols the way minidump_stackwalk looks symbol files up in its stores.
void findSymbolFiles(const std::vector<std::string>& stores, Crash& crash);

}  // namespace symbolicate
