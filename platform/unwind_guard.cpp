#include "platform/unwind_guard.h"

#include "platform/windows_api.h"

#if defined(_WIN32)

namespace {

// The flags of an exception record that say the stack is being unwound past a frame.
constexpr DWORD kUnwinding = 0x2;      // EXCEPTION_UNWINDING
constexpr DWORD kExitUnwind = 0x4;     // EXCEPTION_EXIT_UNWIND
constexpr DWORD kTargetUnwind = 0x20;  // EXCEPTION_TARGET_UNWIND: this frame is the target

// Both handlers: while the system unwinds past the guarded frame, runs its abandon call, which
// the frame keeps at pSlots[0] with its context at pSlots[1].
void AbandonIfUnwindingPast(const EXCEPTION_RECORD* pRecord, void* const* pSlots) {
    if ((pRecord->ExceptionFlags & (kUnwinding | kExitUnwind)) != 0 &&
        (pRecord->ExceptionFlags & kTargetUnwind) == 0) {
        reinterpret_cast<GuardedCallFn>(pSlots[0])(pSlots[1]);
    }
}

}  // namespace

#if defined(_WIN64)

// The frame's handler: called by the system only while it unwinds past MirelCallGuarded (the
// unwind data names it for the unwind phase alone). pEstablisherFrame is the frame's stack pointer
// after its prologue, where the frame keeps pfnAbandon (at +32) and pContext (at +40).
extern "C" EXCEPTION_DISPOSITION MirelUnwindGuardHandler(EXCEPTION_RECORD* pRecord,
                                                         void* pEstablisherFrame, CONTEXT*, void*) {
    AbandonIfUnwindingPast(
        pRecord, reinterpret_cast<void* const*>(static_cast<char*>(pEstablisherFrame) + 32));
    return ExceptionContinueSearch;
}

// rcx = pfnBody, rdx = pfnAbandon, r8 = pContext. 56 bytes: the callee's 32-byte home area, the
// two saved arguments, and alignment. The nop keeps the return address inside the body, not in
// the epilogue, so that the unwinder sees this frame as active.
asm(R"(
    .text
    .p2align 4
    .globl MirelCallGuarded
    .def MirelCallGuarded; .scl 2; .type 32; .endef
    .seh_proc MirelCallGuarded
MirelCallGuarded:
    .seh_handler MirelUnwindGuardHandler, @unwind
    subq $56, %rsp
    .seh_stackalloc 56
    .seh_endprologue
    movq %rdx, 32(%rsp)
    movq %r8, 40(%rsp)
    movq %rcx, %rax
    movq %r8, %rcx
    callq *%rax
    nop
    addq $56, %rsp
    ret
    .seh_endproc
)");

#else  // 32-bit Windows

// The registration record's handler, called for every exception that passes the record; it acts
// only while the system unwinds past it. pRegistration is the record: next, handler, pfnAbandon,
// pContext. The system unlinks the record itself after this call.
extern "C" EXCEPTION_DISPOSITION __cdecl MirelUnwindGuardHandler32(EXCEPTION_RECORD* pRecord,
                                                                   void* pRegistration, CONTEXT*,
                                                                   void*) {
    AbandonIfUnwindingPast(pRecord, static_cast<void* const*>(pRegistration) + 2);
    return ExceptionContinueSearch;
}

// cdecl: 8(%ebp) = pfnBody, 12(%ebp) = pfnAbandon, 16(%ebp) = pContext. The record is pushed on
// this frame and linked at FS:[0] for the duration of the call, then unlinked. No C++ exception
// leaves pfnBody (the callers catch every one), so this frame needs no DWARF unwind data.
asm(R"(
    .text
    .p2align 4
    .globl _MirelCallGuarded
    .def _MirelCallGuarded; .scl 2; .type 32; .endef
_MirelCallGuarded:
    pushl %ebp
    movl %esp, %ebp
    pushl 16(%ebp)
    pushl 12(%ebp)
    pushl $_MirelUnwindGuardHandler32
    pushl %fs:0
    movl %esp, %fs:0
    pushl 16(%ebp)
    call *8(%ebp)
    addl $4, %esp
    popl %eax
    movl %eax, %fs:0
    movl %ebp, %esp
    popl %ebp
    ret
)");

#endif

#else  // POSIX: no structured exceptions; C++ unwinding runs the callers' own clean-ups.

extern "C" void MirelCallGuarded(GuardedCallFn pfnBody, GuardedCallFn /*pfnAbandon*/,
                                 void* pContext) {
    pfnBody(pContext);
}

#endif
