// Host-only: lets tests see the lines the library writes to the (emulated) Android log.
#pragma once

#include <string>
#include <vector>

namespace qm_platform {

// Starts keeping every log line (as "I/NDK: text") in memory, beside writing it to stderr.
void startLogCapture();
// Returns the lines kept since startLogCapture and keeps capturing.
std::vector<std::string> capturedLogLines();
// Stops keeping lines and forgets those kept.
void stopLogCapture();
// When false, log lines are not written to stderr (keeps benchmark and test output quiet).
void setLogToStderr(bool enabled);

}  // namespace qm_platform
