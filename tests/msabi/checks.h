// The check table of the Microsoft-ABI test programs (built by cmake/MsAbi.cmake, without a C
// runtime): one line per check, a summary, and the number of failures as the exit status.
#ifndef MIREL_TESTS_MSABI_CHECKS_H
#define MIREL_TESTS_MSABI_CHECKS_H

#include <stdarg.h>

#include "platform/windows_api.h"

inline int CheckCount = 0;
inline int FailureCount = 0;

inline void PrintV(const char* szFormat, va_list args) {
    char szLine[1024];
    const int nLength = wvsprintfA(szLine, szFormat, args);
    DWORD nWritten = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), szLine, nLength > 0 ? nLength : 0, &nWritten, nullptr);
}

inline void Print(const char* szFormat, ...) {
    va_list args;
    va_start(args, szFormat);
    PrintV(szFormat, args);
    va_end(args);
}

// One row: "ok" or "FAIL", what was checked, and what was seen.
inline bool Check(bool bPassed, const char* szWhat, const char* szSeenFormat, ...) {
    ++CheckCount;
    if (!bPassed) {
        ++FailureCount;
    }
    Print("%-4s  %-70s ", bPassed ? "ok" : "FAIL", szWhat);
    va_list args;
    va_start(args, szSeenFormat);
    PrintV(szSeenFormat, args);
    va_end(args);
    Print("\n");
    return bPassed;
}

inline int Finish(const char* szProgram) {
    Print("%s: %d of %d checks passed\n", szProgram, CheckCount - FailureCount, CheckCount);
    return FailureCount;
}

inline const char* ArchName() { return sizeof(void*) == 8 ? "x64" : "x86"; }

// "<this program's folder>\<szName>".
inline void BesideProgram(const char* szName, char* szPath, DWORD nSize) {
    const DWORD nLength = GetModuleFileNameA(nullptr, szPath, nSize);
    DWORD nCut = 0;
    for (DWORD i = 0; i < nLength; ++i) {
        if (szPath[i] == '\\' || szPath[i] == '/') {
            nCut = i + 1;
        }
    }
    szPath[nCut] = 0;
    lstrcatA(szPath, szName);
}

// Dispatches this thread's messages until bDone() holds or nTimeoutMs have passed.
template <class TDone>
bool PumpUntil(TDone bDone, DWORD nTimeoutMs) {
    const DWORD dwStart = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
        if (bDone()) {
            return true;
        }
        const DWORD dwElapsed = GetTickCount() - dwStart;
        if (dwElapsed >= nTimeoutMs) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, nTimeoutMs - dwElapsed, QS_ALLINPUT);
    }
}

inline void PumpFor(DWORD nMs) {
    PumpUntil([] { return false; }, nMs);
}

// An ITimerHandler-shaped recorder of every OnTimer call: the ID and the user value.
struct TimerCallLog {
    static constexpr int kMaxCalls = 512;
    int nCalls = 0;
    uint32_t anIds[kMaxCalls] = {};
    int32_t anValues[kMaxCalls] = {};

    void Add(uint32_t nId, int32_t nValue) {
        if (nCalls < kMaxCalls) {
            anIds[nCalls] = nId;
            anValues[nCalls] = nValue;
        }
        ++nCalls;
    }
    int Count(uint32_t nId) const {
        int n = 0;
        for (int i = 0; i < nCalls && i < kMaxCalls; ++i) {
            n += anIds[i] == nId ? 1 : 0;
        }
        return n;
    }
    // Calls of any other ID, or of this one with another value.
    int Mismatches(uint32_t nId, int32_t nValue, uint32_t nOtherId = 0, int32_t nOtherValue = 0) const {
        int n = 0;
        for (int i = 0; i < nCalls && i < kMaxCalls; ++i) {
            const bool bFirst = anIds[i] == nId && anValues[i] == nValue;
            const bool bOther = nOtherId != 0 && anIds[i] == nOtherId && anValues[i] == nOtherValue;
            n += bFirst || bOther ? 0 : 1;
        }
        return n;
    }
};

#endif  // MIREL_TESTS_MSABI_CHECKS_H
