#include "stack_walk.h"

#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <utility>

namespace symbolicate {
namespace {

std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t bar = line.find('|'); bar != std::string::npos; bar = line.find('|', start)) {
        fields.push_back(line.substr(start, bar - start));
        start = bar + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

bool isNumber(const std::string& text) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool isFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

const Module* Crash::moduleNamed(const std::string& file) const {
    for (const Module& module : modules) {
        if (module.file == file) return &module;
    }
    return nullptr;
}

bool parseMachineListing(const std::string& machine, Crash& crash, std::string& error) {
    std::istringstream lines(machine);
    std::string line;
    bool sawCrash = false;
    std::map<int, size_t> threadAt;
    while (std::getline(lines, line)) {
        const std::vector<std::string> fields = splitFields(line);
        if (fields[0] == "Crash" && fields.size() == 4) {
            sawCrash = true;
            crash.reason = fields[1];
            crash.address = fields[2];
            crash.crashedThread = isNumber(fields[3]) ? std::atoi(fields[3].c_str()) : -1;
        } else if (fields[0] == "Module" && fields.size() == 8) {
            Module module;
            module.file = fields[1];
            module.debugFile = fields[3];
            module.debugId = fields[4];
            module.base = fields[5];
            module.main = fields[7] == "1";
            crash.modules.push_back(module);
        } else if (fields.size() == 7 && isNumber(fields[0]) && isNumber(fields[1])) {
            const int thread = std::atoi(fields[0].c_str());
            auto found = threadAt.find(thread);
            if (found == threadAt.end()) {
                found = threadAt.emplace(thread, crash.threads.size()).first;
                crash.threads.push_back(Thread{thread, {}});
            }
            Frame frame;
            frame.index = std::atoi(fields[1].c_str());
            frame.module = fields[2];
            frame.function = fields[3];
            frame.file = fields[4];
            frame.line = isNumber(fields[5]) ? std::atoi(fields[5].c_str()) : 0;
            frame.offset = fields[6];
            crash.threads[found->second].frames.push_back(frame);
        }
    }
    if (!sawCrash) {
        error = "minidump_stackwalk could not read the dump";
        return false;
    }
    return true;
}

void addHowFramesWereFound(const std::string& plain, Crash& crash) {
    // "Thread 3" or "Thread 0 (crashed)", then per frame "%2d  <frame>" and, indented below
    // its registers, "Found by: <how>"; the module list ends the threads.
    std::map<std::pair<int, int>, std::string> how;
    std::istringstream lines(plain);
    std::string line;
    int thread = -1;
    int frame = -1;
    while (std::getline(lines, line)) {
        if (line.compare(0, 15, "Loaded modules:") == 0) break;
        if (line.compare(0, 7, "Thread ") == 0) {
            const size_t end = line.find_first_not_of("0123456789", 7);
            const std::string number = line.substr(7, end == std::string::npos ? end : end - 7);
            thread = isNumber(number) ? std::atoi(number.c_str()) : -1;
            frame = -1;
            continue;
        }
        const size_t digits = line.find_first_not_of(' ');
        if (digits != std::string::npos && digits <= 1) {
            const size_t end = line.find("  ", digits);
            if (end != std::string::npos && isNumber(line.substr(digits, end - digits))) {
                frame = std::atoi(line.c_str() + digits);
                continue;
            }
        }
        const std::string label = "Found by: ";
        const size_t at = line.find(label);
        if (at != std::string::npos && thread >= 0 && frame >= 0) {
            how[{thread, frame}] = line.substr(at + label.size());
        }
    }
    for (Thread& t : crash.threads) {
        for (Frame& f : t.frames) {
            const auto found = how.find({t.index, f.index});
            if (found == how.end()) continue;
            f.foundBy = found->second;
            f.scanned = f.foundBy.find("scanning") != std::string::npos;
        }
    }
}

void findSymbolFiles(const std::vector<std::string>& stores, Crash& crash) {
    for (Module& module : crash.modules) {
        // <store>/<debug file>/<debug id>/<debug file without ".pdb">.sym
        std::string name = module.debugFile;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pdb") == 0) {
            name.resize(name.size() - 4);
        }
        for (const std::string& store : stores) {
            if (isFile(store + "/" + module.debugFile + "/" + module.debugId + "/" + name +
                       ".sym")) {
                module.hasSymbols = true;
                break;
            }
        }
    }
}

}  // namespace symbolicate
