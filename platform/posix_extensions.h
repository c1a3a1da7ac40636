// What the POSIX stand-ins offer beyond the Windows calls: the module entry glue's way to find its
// own module handle, the redirection of the debugger output, and the descriptor through which a
// host's own event loop waits on a thread's message queue. Nothing here exists on Windows; module
// code reaches it only through the entry glue, tests through their capture helper.
#ifndef MIREL_PLATFORM_POSIX_EXTENSIONS_H
#define MIREL_PLATFORM_POSIX_EXTENSIONS_H

#ifndef _WIN32

#include "platform/windows_api.h"

#ifdef __cplusplus
extern "C" {
#endif

// The handle of the loaded module that contains the address (the same handle LoadLibraryA and
// GetModuleHandleA give for it), or null.
HMODULE MirelModuleFromAddress(const void* pAddress);

// Has the module's entry point called with DLL_THREAD_DETACH on every thread that ends with a
// message queue (every thread that ever owned a window has one), on that thread, before its
// windows go, and under the loader lock, as the Windows loader does. Null removes the module's
// entry. The module entry glue registers the module at load and removes it before its detach step.
typedef BOOL(WINAPI* MirelModuleEntry)(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved);
void MirelSetThreadDetachEntry(HMODULE hModule, MirelModuleEntry pfnEntry);

// Receives every line given to OutputDebugStringA, whole, instead of the default destination.
// Pass null to restore the default. The sink may be called from any thread, one call per line.
typedef void (*MirelDebugOutputSink)(const char* szLine, void* pContext);
void MirelSetDebugOutputSink(MirelDebugOutputSink pfnSink, void* pContext);

// A descriptor that poll, epoll and the event loops built on them report readable, level-triggered,
// for exactly as long as PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE) on the calling thread would
// find something: a posted message, WM_QUIT or a due timer. Whichever thread posts, sets or kills
// timers, the descriptor follows without any further call. Made on the first call and owned by
// the thread's queue: the caller never reads, writes or closes it, and it stays valid until the
// thread ends; later calls on the thread give the same descriptor. It is the POSIX counterpart of
// the queue's place in MsgWaitForMultipleObjectsEx. Returns -1, with GetLastError set, when no
// descriptor can be had (ERROR_TOO_MANY_OPEN_FILES, ERROR_NOT_ENOUGH_MEMORY).
//
// When it is readable, the host takes messages with PeekMessageA(PM_REMOVE) and DispatchMessageA
// until none is left or it has dispatched one stamped (MSG::time) later than the pass began
// (ending its loop on WM_QUIT), then waits again; what is left keeps the descriptor readable.
// Taking the last due WM_TIMER out leaves the descriptor readable until the next PeekMessageA
// that finds the queue empty and quiets it. Killing a timer makes no system call and leaves the
// descriptor as it was: it may then become readable at the killed timer's due time, and the
// PeekMessageA of that wake finds nothing and sets it for the next due time. It never becomes
// readable late.
int MirelGetQueueDescriptor(void);

#ifdef __cplusplus
}
#endif

#endif  // _WIN32
#endif  // MIREL_PLATFORM_POSIX_EXTENSIONS_H
