#include "util/utilRandom.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "util/uniqueFile.h"

namespace {

// Bytes read from the kernel per refill while drawing text.
constexpr size_t kChunk = 64;

// getrandom through syscall(): the libc wrapper is missing on older Android API levels. False
// when the kernel does not know the call (before Linux 3.17) or it failed otherwise.
bool fromGetrandom(unsigned char* out, size_t size) {
#ifdef SYS_getrandom
    size_t done = 0;
    while (done < size) {
        const long got = ::syscall(SYS_getrandom, out + done, size - done, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
#else
    (void)out;
    (void)size;
    return false;
#endif
}

bool fromUrandom(unsigned char* out, size_t size) {
    const FileDescriptor file(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(file.get(), out + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

uint64_t nanosOf(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
}

// Only where the kernel source failed: differs between processes and threads even within one
// second, unlike a seed of the time in seconds.
void fromOwnGenerator(unsigned char* out, size_t size) {
    std::seed_seq seed{
        nanosOf(CLOCK_REALTIME), nanosOf(CLOCK_MONOTONIC), static_cast<uint64_t>(::getpid()),
        static_cast<uint64_t>(std::hash<std::thread::id>()(std::this_thread::get_id())),
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(out))};
    std::mt19937_64 generator(seed);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(generator() >> 56);
}

}  // namespace

namespace UtilRandom {

bool kernelBytes(void* buffer, size_t size) {
    unsigned char* out = static_cast<unsigned char*>(buffer);
    return fromGetrandom(out, size) || fromUrandom(out, size);
}

std::string drawText(size_t length, const std::string& alphabet) {
    std::string text;
    if (alphabet.empty() || alphabet.size() > 256) return text;
    text.reserve(length);
    // Bytes at or above the largest multiple of the alphabet's size are drawn again: taking
    // them modulo the size would favour the first letters.
    const unsigned int limit = 256u - 256u % static_cast<unsigned int>(alphabet.size());
    std::vector<unsigned char> bytes(kChunk);
    while (text.size() < length) {
        if (!kernelBytes(bytes.data(), bytes.size())) fromOwnGenerator(bytes.data(), bytes.size());
        for (const unsigned char b : bytes) {
            if (text.size() == length) break;
            if (b < limit) text += alphabet[b % alphabet.size()];
        }
    }
    return text;
}

}  // namespace UtilRandom
