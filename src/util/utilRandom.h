// Random text for identifiers. Drawn from the kernel's random source, never from the process-wide
// rand/lrand48 generators, which belong to the application and repeat across devices that seed
// them with the same time.
#pragma once

#include <cstddef>
#include <string>

namespace UtilRandom {

// The letters of session and device IDs. n comes before m, in both cases, as in every ID made
// so far: the order stays.
inline constexpr char kIdAlphabet[] =
    "abcdefghijklnmopqrstuvwxyzABCDEFGHIJKLNMOPQRSTUVWXYZ0123456789";

// Fills the buffer from getrandom, or /dev/urandom where the kernel has no getrandom; false when
// neither gave all of it.
bool kernelBytes(void* buffer, size_t size);

// `length` characters drawn uniformly from `alphabet` (at most 256 characters). When the kernel
// gives nothing, a generator of our own seeded from clocks, process and thread stands in, so
// an identifier is still made.
std::string drawText(size_t length, const std::string& alphabet);

}  // namespace UtilRandom
