// The check table of the Microsoft-ABI test programs, which have no C runtime (cmake/MsAbi.cmake):
// one line per check, a summary, the number of failures as the exit status; the message pump and
// the recording timer handler they share. The programs' own thread only.
#ifndef MIREL_TESTS_SUPPORT_MSABI_CHECKS_H
#define MIREL_TESTS_SUPPORT_MSABI_CHECKS_H

#include <stdarg.h>

#include "mirel/timer.h"
#include "platform/windows_api.h"

inline int CheckCount = 0;
inline int FailureCount = 0;

inline void PrintV(const char* szFormat, va_list args) {
    char szLine[1024];
    const int nLength = wvsprintfA(szLine, szFormat, args);
    DWORD nWritten = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), szLine, nLength > 0 ? nLength : 0, &nWritten,
              nullptr);
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
    FailureCount += bPassed ? 0 : 1;
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

inline const char* ArchName() {
    return sizeof(void*) == 8 ? "x64" : "x86";
}

// "<this program's folder>\<szName>".
inline void BesideProgram(const char* szName, char* szPath, DWORD nSize) {
    DWORD nCut = 0;
    for (DWORD i = 0, n = GetModuleFileNameA(nullptr, szPath, nSize); i < n; ++i) {
        nCut = szPath[i] == '\\' ? i + 1 : nCut;
    }
    szPath[nCut] = 0;
    lstrcatA(szPath, szName);
}

// Loads "<this program's folder>\<szName>"; szPath (MAX_PATH) receives the path tried.
inline HMODULE LoadBesideProgram(const char* szName, char* szPath) {
    BesideProgram(szName, szPath, MAX_PATH);
    return LoadLibraryA(szPath);
}

template <class TFunction>
TFunction FindExport(HMODULE hModule, const char* szName) {
    return reinterpret_cast<TFunction>(reinterpret_cast<void*>(GetProcAddress(hModule, szName)));
}

// Dispatches this thread's messages until bDone() holds or nTimeoutMs have passed. The timers are
// real ones on a real window: the path through the system is what these programs check.
template <class TDone>
bool PumpUntil(TDone bDone, DWORD nTimeoutMs) {
    const DWORD dwStart = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
        const DWORD dwElapsed = GetTickCount() - dwStart;
        if (bDone() || dwElapsed >= nTimeoutMs) {
            return bDone();
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, nTimeoutMs - dwElapsed, QS_ALLINPUT);
    }
}

// Every OnTimer call it receives: the ID and the user value.
class CRecordingHandler : public ITimerHandler {
public:
    static constexpr int kMaxCalls = 512;

    int32_t GetHandlerVersion() override { return 1; }
    int32_t OnTimer(uint32_t nTimerId, int32_t nUserValue) override {
        if (m_nCalls < kMaxCalls) {
            m_anIds[m_nCalls] = nTimerId;
            m_anValues[m_nCalls++] = nUserValue;
        }
        return 0;
    }

    int Calls() const { return m_nCalls; }
    int Count(uint32_t nId) const {
        int n = 0;
        for (int i = 0; i < m_nCalls; ++i) {
            n += m_anIds[i] == nId ? 1 : 0;
        }
        return n;
    }
    // Calls of an ID the table does not hold, or with another user value than it gives.
    int Mismatches(const uint32_t* anIds, const int32_t* anValues, int nTimers) const {
        int n = 0;
        for (int i = 0; i < m_nCalls; ++i) {
            bool bExpected = false;
            for (int k = 0; k < nTimers; ++k) {
                bExpected |= m_anIds[i] == anIds[k] && m_anValues[i] == anValues[k];
            }
            n += bExpected ? 0 : 1;
        }
        return n;
    }

private:
    int m_nCalls = 0;
    uint32_t m_anIds[kMaxCalls] = {};
    int32_t m_anValues[kMaxCalls] = {};
};

#endif  // MIREL_TESTS_SUPPORT_MSABI_CHECKS_H
