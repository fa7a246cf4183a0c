// setjmp and longjmp. They cannot be written in C++: setjmp must record the
// state of its caller's frame, and longjmp must return into that frame a
// second time. Each is a leaf without a frame of its own, so neither needs
// unwind information.
//
// jmp_buf, 32 eight-byte slots:
//   System V x86-64 (Linux): rbx rbp r12 r13 r14 r15, the caller's stack
//     pointer after the return, the return address.
//   Windows x64: rbx rbp rdi rsi r12 r13 r14 r15, stack pointer, return
//     address, then xmm6 to xmm15 (two slots each, stored unaligned).
// The floating-point control state is deliberately not restored: after a
// jump it is what it was when longjmp was called.

#if defined(_WIN32)
asm(R"(
    .text
    .globl kez_setjmp
    .def kez_setjmp; .scl 2; .type 32; .endef
    .p2align 4
kez_setjmp:
    movq %rbx, 0(%rcx)
    movq %rbp, 8(%rcx)
    movq %rdi, 16(%rcx)
    movq %rsi, 24(%rcx)
    movq %r12, 32(%rcx)
    movq %r13, 40(%rcx)
    movq %r14, 48(%rcx)
    movq %r15, 56(%rcx)
    leaq 8(%rsp), %rdx
    movq %rdx, 64(%rcx)
    movq (%rsp), %rdx
    movq %rdx, 72(%rcx)
    movdqu %xmm6, 80(%rcx)
    movdqu %xmm7, 96(%rcx)
    movdqu %xmm8, 112(%rcx)
    movdqu %xmm9, 128(%rcx)
    movdqu %xmm10, 144(%rcx)
    movdqu %xmm11, 160(%rcx)
    movdqu %xmm12, 176(%rcx)
    movdqu %xmm13, 192(%rcx)
    movdqu %xmm14, 208(%rcx)
    movdqu %xmm15, 224(%rcx)
    xorl %eax, %eax
    ret

    .globl kez_longjmp
    .def kez_longjmp; .scl 2; .type 32; .endef
    .p2align 4
kez_longjmp:
    movl %edx, %eax
    testl %eax, %eax
    jnz 1f
    movl $1, %eax
1:
    movq 0(%rcx), %rbx
    movq 8(%rcx), %rbp
    movq 16(%rcx), %rdi
    movq 24(%rcx), %rsi
    movq 32(%rcx), %r12
    movq 40(%rcx), %r13
    movq 48(%rcx), %r14
    movq 56(%rcx), %r15
    movdqu 80(%rcx), %xmm6
    movdqu 96(%rcx), %xmm7
    movdqu 112(%rcx), %xmm8
    movdqu 128(%rcx), %xmm9
    movdqu 144(%rcx), %xmm10
    movdqu 160(%rcx), %xmm11
    movdqu 176(%rcx), %xmm12
    movdqu 192(%rcx), %xmm13
    movdqu 208(%rcx), %xmm14
    movdqu 224(%rcx), %xmm15
    movq 64(%rcx), %rsp
    jmpq *72(%rcx)
)");
#else
asm(R"(
    .text
    .globl kez_setjmp
    .type kez_setjmp, @function
    .p2align 4
kez_setjmp:
    movq %rbx, 0(%rdi)
    movq %rbp, 8(%rdi)
    movq %r12, 16(%rdi)
    movq %r13, 24(%rdi)
    movq %r14, 32(%rdi)
    movq %r15, 40(%rdi)
    leaq 8(%rsp), %rdx
    movq %rdx, 48(%rdi)
    movq (%rsp), %rdx
    movq %rdx, 56(%rdi)
    xorl %eax, %eax
    ret
    .size kez_setjmp, .-kez_setjmp

    .globl kez_longjmp
    .type kez_longjmp, @function
    .p2align 4
kez_longjmp:
    movl %esi, %eax
    testl %eax, %eax
    jnz 1f
    movl $1, %eax
1:
    movq 0(%rdi), %rbx
    movq 8(%rdi), %rbp
    movq 16(%rdi), %r12
    movq 24(%rdi), %r13
    movq 32(%rdi), %r14
    movq 40(%rdi), %r15
    movq 48(%rdi), %rsp
    jmpq *56(%rdi)
    .size kez_longjmp, .-kez_longjmp
)");
#endif
