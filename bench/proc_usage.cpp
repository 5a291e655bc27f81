#include "proc_usage.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace qm_bench {
namespace {

// utime and stime are the 14th and 15th fields of a stat line. The 2nd, the command name in
// parentheses, may itself hold spaces and parentheses, so counting starts after its last ')'.
double cpuSecondsOf(const std::string& statPath) {
    std::ifstream file(statPath);
    std::string line;
    if (!std::getline(file, line)) return -1;
    const size_t nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos) return -1;
    std::istringstream fields(line.substr(nameEnd + 1));
    std::string field;
    for (int index = 3; index < 14 && fields >> field; ++index) {
    }
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    if (!(fields >> utime >> stime)) return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace

double processCpuSeconds(pid_t pid) {
    return cpuSecondsOf("/proc/" + std::to_string(pid) + "/stat");
}

double threadCpuSeconds(pid_t tid) {
    return cpuSecondsOf("/proc/self/task/" + std::to_string(tid) + "/stat");
}

pid_t currentThreadId() { return ::gettid(); }

double residentKiB() {
    std::ifstream file("/proc/self/status");
    for (std::string line; std::getline(file, line);) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stod(line.substr(6));
    }
    return -1;
}

}  // namespace qm_bench
