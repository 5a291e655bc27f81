// The C++ side of the header: the PlumeLog interface reached through GetPlumeLog().
#include <plume/quillmark.h>

#include <cstdio>

int main() {
    plume::quillmark::PlumeLog* log = GetPlumeLog();
    if (log == nullptr) return 1;
    // Before initialisation nothing is queued.
    const bool queued = log->info("not initialised yet");
    DestroyPlumeLog();
    std::printf("C++ interface linked; a record before initialisation queued: %d\n", queued);
    return queued ? 1 : 0;
}
