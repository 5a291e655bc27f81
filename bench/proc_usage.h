// What the kernel counts for a process or a thread, read from /proc: the benchmark's measure of
// CPU time and resident memory, taken inside the process it describes (or of another process,
// the collector, by its pid).
#pragma once

#include <sys/types.h>

namespace qm_bench {

// User plus system CPU time in seconds of a whole process, threads that already ended included
// (/proc/<pid>/stat); -1 when it cannot be read.
double processCpuSeconds(pid_t pid);

// The same for one thread of this process (/proc/self/task/<tid>/stat); -1 when it cannot be read.
double threadCpuSeconds(pid_t tid);

// The calling thread's id as /proc/self/task names it.
pid_t currentThreadId();

// VmRSS of /proc/self/status in KiB; -1 when it cannot be read.
double residentKiB();

}  // namespace qm_bench
