// A shared library that crashes in a function of its own, whose symbols quillmark_add_symbols
// writes: the stack read back from its dump must name that function and the faulting line.
#include "faulty_module.h"

static const int kFaultLine = __LINE__ + 1;
__attribute__((noinline)) void quillmark_faulty_write(volatile int* target) { *target = 42; }

int quillmark_faulty_line(void) { return kFaultLine; }
