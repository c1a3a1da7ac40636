// DebugBreak: stops in the debugger when one is attached; otherwise reports and carries on.
//
// On Windows an unhandled breakpoint without a debugger ends the process. The module calls
// DebugBreak only to flag a programming error (a component destroyed other than through its
// Release), after which it can continue safely, so without a debugger the stand-in writes one
// line on the debugger output and returns instead of killing the host.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/windows_api.h"

namespace {

constexpr char kContinueMessage[] =
    "DebugBreak: a programming error was detected; execution continues.\n";

// A debugger or another tracer shows as a non-zero TracerPid in the process's status.
bool IsTracerAttached() {
    FILE* pStatus = fopen("/proc/self/status", "re");
    if (pStatus == nullptr) {
        return false;
    }
    char szLine[256];
    bool bTraced = false;
    while (fgets(szLine, sizeof(szLine), pStatus) != nullptr) {
        if (strncmp(szLine, "TracerPid:", 10) == 0) {
            bTraced = strtol(szLine + 10, nullptr, 10) != 0;
            break;
        }
    }
    fclose(pStatus);
    return bTraced;
}

}  // namespace

extern "C" void WINAPI DebugBreak(void) {
    if (IsTracerAttached()) {
        raise(SIGTRAP);
        return;
    }
    OutputDebugStringA(kContinueMessage);
}
