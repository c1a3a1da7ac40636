// Thread identity, sleeping and the per-thread last-error value.
#include <time.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/windows_api.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

extern "C" {

DWORD WINAPI GetLastError(void) {
    return t_lastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

// The kernel's thread ID: unique among live threads of the process, as on Windows.
DWORD WINAPI GetCurrentThreadId(void) {
    thread_local DWORD t_id = static_cast<DWORD>(syscall(SYS_gettid));
    return t_id;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    timespec delay;
    delay.tv_sec = dwMilliseconds / 1000;
    delay.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    while (nanosleep(&delay, &delay) != 0) {
    }
}

}  // extern "C"
