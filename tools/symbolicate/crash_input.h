// Finds the minidumps in a crash as the collector receives it: one JSON record, a POST body (an
// array of records), a file of one JSON value per line (the loopback collector's records file
// or its request log, whose "body" holds each whole POST), or the bare minidump itself.
#pragma once

#include <string>
#include <vector>

namespace symbolicate {

struct CrashInput {
    // Each dump found, decoded, in the order the input holds them.
    std::vector<std::string> dumps;
    // Empty when the input was read; else the one reason it could not be (no dump is kept).
    std::string error;
};

CrashInput readCrashInput(const std::string& bytes);

// Empty when `dump` has a minidump's header and every stream its directory names lies inside
// it; else what is wrong with it. The stack walker is only ever given a dump that passed.
std::string minidumpProblem(const std::string& dump);

}  // namespace symbolicate
