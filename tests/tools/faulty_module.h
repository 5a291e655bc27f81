#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Writes through `target`; given null, it dies of SIGSEGV on the line quillmark_faulty_line
// returns.
void quillmark_faulty_write(volatile int* target);
int quillmark_faulty_line(void);

#ifdef __cplusplus
}
#endif
