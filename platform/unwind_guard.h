// MirelCallGuarded: calls a function so that a structured exception unwinding past the call cannot
// leave the caller's state behind. Windows code built by MinGW registers no clean-up for a
// structured exception (GCC's frames let a foreign exception pass untouched, and 32-bit code has
// no SEH frames at all), so when a caller of the window procedure handles an exception raised by
// a handler (__try/__except around DispatchMessage), the frames in between are abandoned without
// running any of their code. Here the call goes through a small frame of our own whose handler
// runs pfnAbandon(pContext) during that unwind, while the abandoned frames still exist; the
// exception goes on unchanged. 64-bit: an unwind handler in the function's unwind data; 32-bit:
// an FS:[0] registration record. On POSIX it is a plain call. Any thread.
#ifndef MIREL_BASE_UNWIND_GUARD_H
#define MIREL_BASE_UNWIND_GUARD_H

typedef void (*GuardedCallFn)(void* pContext);

extern "C" void MirelCallGuarded(GuardedCallFn pfnBody, GuardedCallFn pfnAbandon, void* pContext);

#endif  // MIREL_BASE_UNWIND_GUARD_H
