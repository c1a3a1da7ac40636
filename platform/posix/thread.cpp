// Thread identity, sleeping and the per-thread last-error value.
#include <time.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/windows_api.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
// Read on every dispatch of a timer, so it sits at a fixed offset from the thread pointer, as the
// thread's queue pointer does, and is filled on first use rather than by a guarded initialiser.
__attribute__((tls_model("initial-exec"))) thread_local DWORD t_dwThreadId = 0;
}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) {
    return t_lastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

// The kernel's thread ID: unique among live threads of the process, as on Windows.
DWORD WINAPI GetCurrentThreadId(void) {
    if (t_dwThreadId == 0) {
        t_dwThreadId = static_cast<DWORD>(syscall(SYS_gettid));
    }
    return t_dwThreadId;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    timespec delay;
    delay.tv_sec = dwMilliseconds / 1000;
    delay.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    while (nanosleep(&delay, &delay) != 0) {
    }
}

}  // extern "C"
