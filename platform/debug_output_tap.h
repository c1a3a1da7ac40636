// CDebugOutputTap: hands every line written with OutputDebugStringA anywhere in the process to a
// callback while it lives, for hosts and tests that show or check the diagnostics. On Windows it
// catches the debug-print exception in-process with a vectored handler (no debugger needed); on
// POSIX it takes the stand-in's output sink. One tap at a time; the callback may run on any thread.
#ifndef MIREL_PLATFORM_DEBUG_OUTPUT_TAP_H
#define MIREL_PLATFORM_DEBUG_OUTPUT_TAP_H

class CDebugOutputTap {
public:
    typedef void (*LineFn)(const char* szLine, void* pContext);

    CDebugOutputTap(LineFn pfnLine, void* pContext);
    ~CDebugOutputTap();
    CDebugOutputTap(const CDebugOutputTap&) = delete;
    CDebugOutputTap& operator=(const CDebugOutputTap&) = delete;
};

#endif  // MIREL_PLATFORM_DEBUG_OUTPUT_TAP_H
