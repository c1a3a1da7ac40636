#include "platform/debug_output_tap.h"

#include "platform/windows_api.h"
#ifndef _WIN32
#include "platform/posix_extensions.h"
#endif

namespace {

CDebugOutputTap::LineFn g_pfnLine = nullptr;
void* g_pContext = nullptr;

#ifdef _WIN32
constexpr DWORD kDebugPrintException = 0x40010006;  // DBG_PRINTEXCEPTION_C
PVOID g_hHandler = nullptr;

// OutputDebugStringA raises this exception with the length and the text as its parameters; a
// debugger would print the text, and continuing execution is what the system does without one.
LONG CALLBACK CatchDebugPrint(EXCEPTION_POINTERS* pInfo) {
    const EXCEPTION_RECORD* pRecord = pInfo->ExceptionRecord;
    if (pRecord->ExceptionCode != kDebugPrintException || pRecord->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (g_pfnLine != nullptr) {
        g_pfnLine(reinterpret_cast<const char*>(pRecord->ExceptionInformation[1]), g_pContext);
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}
#endif

}  // namespace

CDebugOutputTap::CDebugOutputTap(LineFn pfnLine, void* pContext) {
    g_pfnLine = pfnLine;
    g_pContext = pContext;
#ifdef _WIN32
    g_hHandler = AddVectoredExceptionHandler(1, CatchDebugPrint);
#else
    MirelSetDebugOutputSink(pfnLine, pContext);
#endif
}

CDebugOutputTap::~CDebugOutputTap() {
#ifdef _WIN32
    RemoveVectoredExceptionHandler(g_hHandler);
    g_hHandler = nullptr;
#else
    MirelSetDebugOutputSink(nullptr, nullptr);
#endif
    g_pfnLine = nullptr;
    g_pContext = nullptr;
}
