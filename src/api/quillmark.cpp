// The factory of the exported interface.
#include "api/quillmark_impl.h"

namespace {
// The application makes its first call before other threads use the library and does not
// destroy it while calls are in progress, so the pointer needs no lock.
PlumeLogImpl* gs_PlumeLogImpl = nullptr;
}  // namespace

PlumeLogImpl* currentPlumeLog() { return gs_PlumeLogImpl; }

extern "C" QUILLMARK_API plume::quillmark::PlumeLog* GetPlumeLog() {
    if (gs_PlumeLogImpl == nullptr) gs_PlumeLogImpl = new PlumeLogImpl();
    return gs_PlumeLogImpl;
}

extern "C" QUILLMARK_API void DestroyPlumeLog() {
    if (gs_PlumeLogImpl == nullptr) return;
    delete gs_PlumeLogImpl;
    gs_PlumeLogImpl = nullptr;
}
