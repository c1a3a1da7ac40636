#include "demo/debug_output_watch.h"

#include <stdio.h>
#include <string.h>

#include "platform/windows_api.h"
#ifndef _WIN32
#include "platform/posix_extensions.h"
#endif

namespace {

CDebugOutputWatch* g_pWatch = nullptr;

#ifdef _WIN32
constexpr DWORD kDebugPrintException = 0x40010006;  // DBG_PRINTEXCEPTION_C
PVOID g_hHandler = nullptr;

LONG CALLBACK CatchDebugPrint(EXCEPTION_POINTERS* pInfo) {
    const EXCEPTION_RECORD* pRecord = pInfo->ExceptionRecord;
    if (pRecord->ExceptionCode != kDebugPrintException || pRecord->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    g_pWatch->Take(reinterpret_cast<const char*>(pRecord->ExceptionInformation[1]));
    return EXCEPTION_CONTINUE_EXECUTION;
}
#else
void CatchDebugLine(const char* szLine, void* pContext) {
    static_cast<CDebugOutputWatch*>(pContext)->Take(szLine);
}
#endif

}  // namespace

CDebugOutputWatch::CDebugOutputWatch() {
    g_pWatch = this;
#ifdef _WIN32
    g_hHandler = AddVectoredExceptionHandler(1, CatchDebugPrint);
#else
    MirelSetDebugOutputSink(CatchDebugLine, this);
#endif
}

CDebugOutputWatch::~CDebugOutputWatch() {
#ifdef _WIN32
    RemoveVectoredExceptionHandler(g_hHandler);
#else
    MirelSetDebugOutputSink(nullptr, nullptr);
#endif
    g_pWatch = nullptr;
}

void CDebugOutputWatch::Take(const char* szLine) {
    ++m_nLines;
    if (strstr(szLine, "Found leak Mirel components") != nullptr) {
        ++m_nLeakReports;
    }
    fprintf(stderr, "[debug output] %s%s", szLine,
            szLine[0] != '\0' && szLine[strlen(szLine) - 1] == '\n' ? "" : "\n");
}
