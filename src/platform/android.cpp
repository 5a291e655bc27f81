// On Android the NDK supplies the log and system-property functions (liblog, libc); this file
// only keeps the per-platform layout uniform.
#include "platform/qm_platform.h"
