/*
 * What an application does with QuillMark: set up its channels, describe itself with custom
 * keys and a user ID, log at every level, give the sending thread a moment, and shut down.
 *
 * usage: example_app ADDRESS PORT STORAGE_DIR
 *   ADDRESS      collector scheme and host, e.g. http://127.0.0.1
 *   PORT         collector port
 *   STORAGE_DIR  where the library keeps its files (device ID, undelivered records)
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <plume/quillmark.h>
#include <stdio.h>
#include <stdlib.h>
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

int main(int argc, char** argv) {
    uint16_t port = 0;
    if (argc != 4 || !parsePort(argv[2], &port)) {
        fprintf(stderr, "usage: %s ADDRESS PORT STORAGE_DIR\n", argv[0]);
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

    /* The records leave on the library's sending thread; give it time to deliver them. */
    printf("waiting 2 s for delivery\n");
    fflush(stdout);
    const struct timespec pause = {2, 0};
    nanosleep(&pause, NULL);

    QuillMarkDestroy();
    printf("QuillMarkDestroy() done\n");
    return 0;
}
