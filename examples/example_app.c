/*
 * What an application does with QuillMark: set up its channels, describe itself with custom
 * keys and a user ID, log at every level, give the sending thread a moment, and shut down -
 * or, with --crash, open the crash catcher and die of a null write instead.
 *
 * usage: example_app ADDRESS PORT STORAGE_DIR [--crash] [--threads N]
 *   ADDRESS      collector scheme and host, e.g. http://127.0.0.1
 *   PORT         collector port
 *   STORAGE_DIR  where the library keeps its files (device ID, undelivered records, dumps)
 *   --crash      end with a native crash, reported by the library from the dying process
 *   --threads N  also start N idle threads, each 40 KiB down its stack as in a busy app; a
 *                minidump keeps 32 KiB of every thread's stack, so 240 of them bring the dump
 *                close to the 8 MiB the library sends
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <plume/quillmark.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static int parsePort(const char* text, uint16_t* port) {
    char* end = NULL;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 1 || value > 65535) return 0;
    *port = (uint16_t)value;
    return 1;
}

static void initializeChannel(const char* channel, const char* storage, const char* address,
                              uint16_t port) {
    const int32_t result = QuillMarkInitialize("DemoApp", storage, "1.2.3", address, port, NULL,
                                               NULL, true, false, channel);
    printf("QuillMarkInitialize(\"%s\") -> %d\n", channel, (int)result);
}

static void describeApp(void) {
    printf("QuillMarkAddCustomKey(\"build\", \"2024.06.1\") -> %d\n",
           (int)QuillMarkAddCustomKey("build", "2024.06.1"));
    printf("QuillMarkAddCustomKey(\"region\", \"eu-west\") -> %d\n",
           (int)QuillMarkAddCustomKey("region", "eu-west"));
    QuillMarkSetUserId("demo-user-42");
    printf("QuillMarkSetUserId(\"demo-user-42\"); user ID is now \"%s\"\n",
           QuillMarkGetUserId() ? QuillMarkGetUserId() : "(null)");
}

static void logAtEveryLevel(void) {
    static const struct {
        QuillMarkLogLevel level;
        const char* name;
        const char* message;
    } lines[] = {
        {QUILLMARK_FATAL, "FATAL", "demo: the reactor core melted"},
        {QUILLMARK_ERROR, "ERROR", "demo: could not open the save file"},
        {QUILLMARK_WARN, "WARN", "demo: frame took 48 ms"},
        {QUILLMARK_INFO, "INFO", "demo: level 3 loaded"},
        /* Refused by design: only INFO and more severe levels are sent. */
        {QUILLMARK_DEBUG, "DEBUG", "demo: texture cache at 71%"},
    };
    for (size_t i = 0; i < sizeof lines / sizeof lines[0]; ++i) {
        const int32_t queued = QuillMarkSendLog(lines[i].level, lines[i].message);
        printf("QuillMarkSendLog(%s, \"%s\") -> %d\n", lines[i].name, lines[i].message,
               (int)queued);
    }
}

static long long nowMs(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* Runs on the crashing thread, after the library has read the dump and before it sends it. */
static void onCrash(void* data) {
    printf("crash callback (%s) at %lld ms\n", (const char*)data, nowMs());
    fflush(stdout);
}

/* Not inlined, so that the symbolicated stack names it. */
__attribute__((noinline)) static void writeThroughNull(void) {
    volatile int* volatile target = NULL;
    *target = 42;
}

/* Sits 40 KiB down its stack until the process ends; volatile keeps the frame from being
 * optimised away. */
static void* idleDeep(void* unused) {
    volatile char frame[40 * 1024];
    for (size_t i = 0; i < sizeof frame; i += 256) frame[i] = 1;
    const struct timespec hour = {3600, 0};
    while (frame[0] == 1) nanosleep(&hour, NULL);
    return unused;
}

static void startIdleThreads(long count) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    long started = 0;
    for (; started < count; ++started) {
        pthread_t thread;
        if (pthread_create(&thread, &attributes, idleDeep, NULL) != 0) break;
        pthread_detach(thread);
    }
    pthread_attr_destroy(&attributes);
    printf("%ld idle threads started\n", started);
}

static int crash(void) {
    QuillMarkSetCrashCallback(onCrash, "example_app");
    const int32_t opened = QuillMarkOpenCrashCatcher();
    printf("QuillMarkOpenCrashCatcher() -> %d\n", (int)opened);
    if (!opened) return 1;
    printf("fault at %lld ms\n", nowMs());
    fflush(stdout);
    writeThroughNull();
    return 1; /* not reached */
}

/* The options after the three positional arguments; 0 when one is not understood. */
static int parseOptions(int argc, char** argv, int* crashAtEnd, long* idleThreads) {
    for (int i = 4; i < argc; ++i) {
        if (strcmp(argv[i], "--crash") == 0) {
            *crashAtEnd = 1;
        } else if (strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
            char* end = NULL;
            *idleThreads = strtol(argv[++i], &end, 10);
            if (*end != '\0' || *idleThreads < 0 || *idleThreads > 10000) return 0;
        } else {
            return 0;
        }
    }
    return 1;
}

int main(int argc, char** argv) {
    uint16_t port = 0;
    int crashAtEnd = 0;
    long idleThreads = 0;
    if (argc < 4 || !parsePort(argv[2], &port) ||
        !parseOptions(argc, argv, &crashAtEnd, &idleThreads)) {
        fprintf(stderr, "usage: %s ADDRESS PORT STORAGE_DIR [--crash] [--threads N]\n", argv[0]);
        return 2;
    }
    /* Line by line, so that our lines and the library's log lines keep their order in a pipe. */
    setvbuf(stdout, NULL, _IOLBF, 0);
    const char* address = argv[1];
    const char* storage = argv[3];

    printf("collector %s port %u, storage %s\n", address, (unsigned)port, storage);
    initializeChannel("quillmark-user", storage, address, port);
    initializeChannel("Corvane", storage, address, port);
    describeApp();
    logAtEveryLevel();
    if (idleThreads > 0) startIdleThreads(idleThreads);

    /* The records leave on the library's sending thread; give it time to deliver them. */
    printf("waiting 2 s for delivery\n");
    fflush(stdout);
    const struct timespec pause = {2, 0};
    nanosleep(&pause, NULL);

    if (crashAtEnd) return crash();
    QuillMarkDestroy();
    printf("QuillMarkDestroy() done\n");
    return 0;
}
