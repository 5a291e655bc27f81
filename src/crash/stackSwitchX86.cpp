// The stack switch for x86 and x86_64, on Android and on the host alike, so that the host
// tests run the code Android runs (bionic has no makecontext). The caller's stack pointer is
// kept in the frame pointer register, which the callee preserves; the new stack is aligned to
// 16 bytes at the call, as both ABIs ask. The CFI keeps debuggers and unwinders able to walk
// from fn back to the caller.
#include "crash/stackSwitch.h"

#if defined(__x86_64__)
// rdi = fn, rsi = arg, rdx = stackLow, rcx = size.
asm(R"(
    .text
    .globl quillmark_call_on_stack
    .hidden quillmark_call_on_stack
    .type quillmark_call_on_stack, @function
    .p2align 4
quillmark_call_on_stack:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    leaq (%rdx,%rcx), %rsp
    andq $-16, %rsp
    movq %rdi, %rax
    movq %rsi, %rdi
    call *%rax
    movq %rbp, %rsp
    popq %rbp
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size quillmark_call_on_stack, .-quillmark_call_on_stack
)");
#elif defined(__i386__)
// Arguments on the stack: 8(%ebp) = fn, 12(%ebp) = arg, 16(%ebp) = stackLow, 20(%ebp) = size.
asm(R"(
    .text
    .globl quillmark_call_on_stack
    .hidden quillmark_call_on_stack
    .type quillmark_call_on_stack, @function
    .p2align 4
quillmark_call_on_stack:
    .cfi_startproc
    pushl %ebp
    .cfi_def_cfa_offset 8
    .cfi_offset %ebp, -8
    movl %esp, %ebp
    .cfi_def_cfa_register %ebp
    movl 8(%ebp), %eax
    movl 12(%ebp), %ecx
    movl 16(%ebp), %edx
    addl 20(%ebp), %edx
    movl %edx, %esp
    andl $-16, %esp
    subl $12, %esp
    pushl %ecx
    call *%eax
    movl %ebp, %esp
    popl %ebp
    .cfi_def_cfa %esp, 4
    ret
    .cfi_endproc
    .size quillmark_call_on_stack, .-quillmark_call_on_stack
)");
#else
#error "stackSwitchX86.cpp is built for x86 and x86_64 only (see src/CMakeLists.txt)"
#endif
