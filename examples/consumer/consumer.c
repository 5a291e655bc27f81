/*
 * An application outside the QuillMark tree: it compiles against the public header and links
 * the library however its build found it (CMake package, pkg-config or add_subdirectory),
 * logs one line to the collector it is given and shuts down, which delivers the line.
 *
 * usage: quillmark_consumer ADDRESS PORT STORAGE_DIR
 */
#include <plume/quillmark.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int fail(const char* what) {
    fprintf(stderr, "quillmark_consumer: %s\n", what);
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: quillmark_consumer ADDRESS PORT STORAGE_DIR\n");
        return 2;
    }
    printf("QuillMark %s (%d.%d.%d)\n", QUILLMARK_VERSION_STRING, QUILLMARK_VERSION_MAJOR,
           QUILLMARK_VERSION_MINOR, QUILLMARK_VERSION_PATCH);
    const uint16_t port = (uint16_t)strtoul(argv[2], NULL, 10);
    if (QuillMarkInitialize("Consumer", argv[3], "1.0.0", argv[1], port, NULL, NULL, true, false,
                            NULL) != 0) {
        return fail("QuillMarkInitialize failed");
    }
    QuillMarkSetUserId("consumer-1");
    const char* userId = QuillMarkGetUserId();
    if (userId == NULL || strcmp(userId, "consumer-1") != 0) return fail("user ID not kept");
    if (QuillMarkSendLog(QUILLMARK_ERROR, "hello from the consumer project") != 1) {
        return fail("QuillMarkSendLog refused the record");
    }
    QuillMarkDestroy();
    puts("logged one line and shut down");
    return 0;
}
