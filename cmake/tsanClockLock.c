/* Linked into the test programs of a ThreadSanitizer build only (tests/CMakeLists.txt).
 *
 * std::timed_mutex waits on the steady clock through pthread_mutex_clocklock, which the
 * ThreadSanitizer run-time of GCC 12 does not intercept: it never sees those locks taken, reports
 * their unlock as "unlock of an unlocked mutex" and misses the ordering they give. This
 * definition takes the call instead and waits with pthread_mutex_timedlock, which it does
 * intercept, until the same moment expressed on the realtime clock. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <errno.h>
#include <pthread.h>
#include <time.h>

int pthread_mutex_clocklock(pthread_mutex_t* restrict mutex, clockid_t clock,
                            const struct timespec* restrict deadline) {
    if (clock == CLOCK_REALTIME) return pthread_mutex_timedlock(mutex, deadline);
    if (clock != CLOCK_MONOTONIC) return EINVAL;
    struct timespec now;
    struct timespec realNow;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0 || clock_gettime(CLOCK_REALTIME, &realNow) != 0) {
        return EINVAL;
    }
    long long left = (long long)(deadline->tv_sec - now.tv_sec) * 1000000000LL +
                     (deadline->tv_nsec - now.tv_nsec);
    if (left < 0) left = 0;  // a deadline already past still tries the lock once
    long long nanos = realNow.tv_nsec + left % 1000000000LL;
    struct timespec realDeadline;
    realDeadline.tv_sec = realNow.tv_sec + (time_t)(left / 1000000000LL + nanos / 1000000000LL);
    realDeadline.tv_nsec = (long)(nanos % 1000000000LL);
    return pthread_mutex_timedlock(mutex, &realDeadline);
}
