/* The strict host's predicates. Each answers what the embedded host's answers,
 * but returns its bool the way the calling convention allows and no further:
 * the answer in %al, garbage in every other bit of %rax. A plug-in that reads
 * more than %al (built against a header that declares the predicates int)
 * takes false for true here. Written in assembly so that what is left in the
 * register does not depend on what a compiler happens to emit.
 *
 * STRICT_PREDICATES, set by the build, lists the predicates the header
 * declares; the embedded host's own ones are built as minihost_plain_<name>. */
#if !defined(__x86_64__) || !defined(__ELF__)
#error "the strict host's predicates are x86-64 ELF assembly"
#endif

#define GARBAGE 0x5a5a5a5a5a5a5a00

    .text

.macro strict_predicate name
    .globl \name
    .type \name, @function
    .p2align 4
\name:
    .cfi_startproc
    subq $8, %rsp                    /* keep the stack 16-byte aligned for the call */
    .cfi_adjust_cfa_offset 8
    call minihost_plain_\name@PLT
    addq $8, %rsp
    .cfi_adjust_cfa_offset -8
    movzbl %al, %eax
    movabsq $GARBAGE, %rdx
    orq %rdx, %rax
    ret
    .cfi_endproc
    .size \name, . - \name
.endm

.irp name, STRICT_PREDICATES
    strict_predicate \name
.endr

/* uint64_t strict_host_raw_answer(const void *predicate, const mxArray *a):
 * calls the predicate and hands back all of %rax, so that a test can see the
 * garbage a plug-in is given. */
    .globl strict_host_raw_answer
    .type strict_host_raw_answer, @function
    .p2align 4
strict_host_raw_answer:
    .cfi_startproc
    movq %rdi, %rax
    movq %rsi, %rdi
    jmp *%rax
    .cfi_endproc
    .size strict_host_raw_answer, . - strict_host_raw_answer

    .section .note.GNU-stack, "", @progbits
