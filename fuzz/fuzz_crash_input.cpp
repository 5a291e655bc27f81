// quillmark-symbolicate reads whatever file it is handed as a crash: a record, a POST body, a
// collector's file or a minidump. Whatever the bytes, the reader either finds dumps that the
// walker may be given or says why not. The same bytes also go through the reading of the
// walker's listings, which a damaged dump can fill with anything.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crash_input.h"
#include "stack_walk.h"

namespace {

void require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "property broken: %s\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const symbolicate::CrashInput input = symbolicate::readCrashInput(bytes);
    require(input.error.empty() != input.dumps.empty(), "neither dumps nor an error, or both");
    require(input.error.find('\n') == std::string::npos, "an error of more than one line");
    for (const std::string& dump : input.dumps) {
        require(dump.compare(0, 4, "MDMP") == 0, "a dump without the signature");
        require(symbolicate::minidumpProblem(dump).empty(), "a dump the check refuses");
    }

    symbolicate::Crash crash;
    std::string error;
    if (symbolicate::parseMachineListing(bytes, crash, error)) {
        symbolicate::addHowFramesWereFound(bytes, crash);
        for (const symbolicate::Thread& thread : crash.threads) {
            require(!thread.frames.empty(), "a thread without frames");
        }
    } else {
        require(!error.empty(), "refused without a reason");
    }
    return 0;
}
