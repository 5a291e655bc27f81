// How long QuillMarkInitialize holds the application's thread. Each call is the first of a fresh
// process (the library keeps process-wide state, and a second initialise of a channel does
// nothing): this program runs itself as a child per call, which times the call with the
// monotonic clock and hands the time back through a pipe. Three series: storage folders that do
// not exist yet (the library makes them, a parent included, and everything in them), empty
// storage folders (an app's first start: its files folder is there, the library's folders and
// files are not), and one folder an earlier start already filled.
//
//   quillmark_init_bench [--runs N] [--library-dir DIR]
//       --runs N          calls per series (20)
//       --library-dir DIR the children load libquillmark.so.1 from DIR (LD_LIBRARY_PATH), so
//                         another build of the library is measured by the same program
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plume/quillmark.h"

namespace {

// Nothing listens there: the sending thread's exchanges fail at once and stay off the timing.
const char kCollector[] = "http://127.0.0.1";
const uint16_t kCollectorPort = 9;

int64_t clockNs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Context switches of the calling thread so far: it blocked (voluntary), or the scheduler ran
// another task (involuntary).
struct Switches {
    long blocked = 0;
    long preempted = 0;
};

Switches switches() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return {usage.ru_nvcsw, usage.ru_nivcsw};
}

// One call: its time on the monotonic clock, the calling thread's CPU time in it, and how often
// the thread left the CPU meanwhile.
struct Sample {
    double wallMs = 0;
    double cpuMs = 0;
    Switches left;
};

// The child: one initialise, its time written to `fd`. It leaves at once, without waiting for
// the library's threads, whose work is not what is measured; with `settle` it first lets them
// finish what a start leaves in the folder.
int probe(const char* storage, int fd, bool settle) {
    const Switches before = switches();
    const int64_t cpuStart = clockNs(CLOCK_THREAD_CPUTIME_ID);
    const int64_t start = clockNs(CLOCK_MONOTONIC);
    const int32_t result =
        QuillMarkInitialize("BenchApp", storage, "1.0.0", kCollector, kCollectorPort, nullptr,
                            nullptr, true, false, "quillmark-user");
    const int64_t took = clockNs(CLOCK_MONOTONIC) - start;
    const int64_t cpu = clockNs(CLOCK_THREAD_CPUTIME_ID) - cpuStart;
    const Switches after = switches();
    char line[128];
    const int length = snprintf(line, sizeof line, "%d %lld %lld %ld %ld\n", result,
                                static_cast<long long>(took), static_cast<long long>(cpu),
                                after.blocked - before.blocked, after.preempted - before.preempted);
    if (write(fd, line, static_cast<size_t>(length)) != length) _exit(3);
    if (settle) {
        usleep(500 * 1000);
        QuillMarkDestroy();
    }
    _exit(result == 0 ? 0 : 2);
}

// Runs one child on `storage`; a negative time when it failed.
Sample timeOne(const std::string& self, const std::string& storage, const char* libraryDir,
               bool settle = false) {
    Sample failed;
    failed.wallMs = -1;
    int fds[2];
    if (pipe(fds) != 0) return failed;
    const pid_t child = fork();
    if (child < 0) return failed;
    if (child == 0) {
        close(fds[0]);
        if (libraryDir != nullptr) setenv("LD_LIBRARY_PATH", libraryDir, 1);
        // The library's log lines (the collector is not there) would bury the table.
        const int quiet = open("/dev/null", O_WRONLY);
        if (quiet >= 0) dup2(quiet, STDERR_FILENO);
        const std::string fd = std::to_string(fds[1]);
        execl(self.c_str(), self.c_str(), settle ? "--settle" : "--probe", storage.c_str(),
              fd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buffer[128] = {0};
    size_t got = 0;
    for (ssize_t n; got + 1 < sizeof buffer &&
                    (n = read(fds[0], buffer + got, sizeof buffer - 1 - got)) > 0;) {
        got += static_cast<size_t>(n);
    }
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    int result = -1;
    long long ns = -1;
    long long cpuNs = -1;
    Sample sample;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        sscanf(buffer, "%d %lld %lld %ld %ld", &result, &ns, &cpuNs, &sample.left.blocked,
               &sample.left.preempted) != 5 ||
        result != 0) {
        fprintf(stderr, "child on %s failed (status %d, output \"%s\")\n", storage.c_str(), status,
                buffer);
        return failed;
    }
    sample.wallMs = static_cast<double>(ns) / 1e6;
    sample.cpuMs = static_cast<double>(cpuNs) / 1e6;
    return sample;
}

// Nearest rank: of 20 calls, the 99th percentile is the slowest.
double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    const size_t rank = static_cast<size_t>(std::ceil(share * static_cast<double>(values.size())));
    return values[std::max<size_t>(rank, 1) - 1];
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool report(const char* series, const std::vector<Sample>& samples) {
    if (samples.empty()) return false;
    std::vector<double> wall;
    std::vector<double> cpu;
    size_t blocked = 0;
    size_t preempted = 0;
    for (const Sample& sample : samples) {
        wall.push_back(sample.wallMs);
        cpu.push_back(sample.cpuMs);
        if (sample.left.blocked > 0) ++blocked;
        if (sample.left.preempted > 0) ++preempted;
    }
    printf("| %s | %zu | %.3f ms | %.3f ms | %.3f ms | %.3f / %.3f ms | %zu / %zu |\n", series,
           samples.size(), median(wall), percentile(wall, 0.99),
           *std::min_element(wall.begin(), wall.end()), median(cpu), percentile(cpu, 0.99), blocked,
           preempted);
    return true;
}

std::string loadedLibrary() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&QuillMarkInitialize), &info) == 0 || !info.dli_fname) {
        return "?";
    }
    return info.dli_fname;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && (strcmp(argv[1], "--probe") == 0 || strcmp(argv[1], "--settle") == 0)) {
        return probe(argv[2], atoi(argv[3]), strcmp(argv[1], "--settle") == 0);
    }
    if (argc == 2 && strcmp(argv[1], "--which") == 0) {
        printf("%s\n", loadedLibrary().c_str());
        return 0;
    }
    int runs = 20;
    const char* libraryDir = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, atoi(argv[++i]));
        } else if (strcmp(argv[i], "--library-dir") == 0 && i + 1 < argc) {
            libraryDir = argv[++i];
        } else {
            fprintf(stderr, "usage: %s [--runs N] [--library-dir DIR]\n", argv[0]);
            return 1;
        }
    }
    char self[4096] = {0};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
    char scratch[] = "/tmp/qm-init-bench-XXXXXX";
    if (mkdtemp(scratch) == nullptr) return 1;
    const std::string root = scratch;

    std::vector<Sample> made;
    std::vector<Sample> empty;
    for (int i = 0; i < runs; ++i) {
        // Parents included: the library makes the whole path.
        Sample sample = timeOne(self, root + "/new-" + std::to_string(i) + "/files", libraryDir);
        if (sample.wallMs >= 0) made.push_back(sample);
        const std::string folder = root + "/empty-" + std::to_string(i);
        if (mkdir(folder.c_str(), 0770) != 0) continue;
        sample = timeOne(self, folder, libraryDir);
        if (sample.wallMs >= 0) empty.push_back(sample);
    }
    const std::string existing = root + "/existing/files";
    std::vector<Sample> again;
    // The first start fills the folder (journal, device ID); only the later ones are timed.
    if (timeOne(self, existing, libraryDir, true).wallMs >= 0) {
        for (int i = 0; i < runs; ++i) {
            const Sample sample = timeOne(self, existing, libraryDir);
            if (sample.wallMs >= 0) again.push_back(sample);
        }
    }
    std::string which = "?";
    if (FILE* pipe = popen(
            ((libraryDir ? "LD_LIBRARY_PATH=" + std::string(libraryDir) + " " : std::string()) +
             "'" + self + "' --which")
                .c_str(),
            "r")) {
        char line[4096] = {0};
        if (fgets(line, sizeof line, pipe) != nullptr)
            which = std::string(line, strcspn(line, "\n"));
        pclose(pipe);
    }
    printf("library: %s\n\n", which.c_str());
    printf(
        "| QuillMarkInitialize | calls | median | p99 | fastest | CPU median / p99 | calls that "
        "blocked / were preempted |\n|---|---|---|---|---|---|---|\n");
    const bool ok = report("new storage folder (and its parent)", made) &&
                    report("empty storage folder", empty) && report("existing folder", again);
    std::string remove = "rm -rf '" + root + "'";
    if (system(remove.c_str()) != 0) fprintf(stderr, "could not remove %s\n", root.c_str());
    const size_t all = static_cast<size_t>(runs);
    return ok && made.size() == all && empty.size() == all && again.size() == all ? 0 : 1;
}
