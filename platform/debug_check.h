// MIREL_DCHECK: a check of an invariant or a thread rule that debug builds make and release
// builds compile away (the condition is then not evaluated). A failed check writes one line with
// the condition and its place to the debugger output and breaks, as DebugBreak does, so that a
// debugger stops there; without one, the program goes on. Any thread; takes no lock.
#ifndef MIREL_PLATFORM_DEBUG_CHECK_H
#define MIREL_PLATFORM_DEBUG_CHECK_H

#include <stdio.h>

#include "platform/windows_api.h"

#ifdef NDEBUG
#define MIREL_DCHECK(condition) ((void)0)
#else
#define MIREL_DCHECK(condition) \
    ((condition) ? (void)0 : MirelReportFailedCheck(#condition, __FILE__, __LINE__))
#endif

// Writes "Mirel[Check]: <condition> failed at <file>:<line>\n" and calls DebugBreak.
inline void MirelReportFailedCheck(const char* szCondition, const char* szFile, int nLine) {
    char szLine[512];
    snprintf(szLine, sizeof(szLine), "Mirel[Check]: %s failed at %s:%d\n", szCondition, szFile,
             nLine);
    OutputDebugStringA(szLine);
    DebugBreak();
}

#endif  // MIREL_PLATFORM_DEBUG_CHECK_H
