#include "tests/support/debug_capture.h"

#include <stdexcept>

#include "platform/windows_api.h"
#ifndef _WIN32
#include "platform/posix_extensions.h"
#endif

namespace {

CDebugCapture* g_pCapture = nullptr;

#ifdef _WIN32
constexpr DWORD kDebugPrintException = 0x40010006;  // DBG_PRINTEXCEPTION_C
PVOID g_hHandler = nullptr;

LONG CALLBACK CatchDebugPrint(EXCEPTION_POINTERS* pInfo) {
    const EXCEPTION_RECORD* pRecord = pInfo->ExceptionRecord;
    if (pRecord->ExceptionCode != kDebugPrintException || pRecord->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (g_pCapture != nullptr) {
        g_pCapture->Add(reinterpret_cast<const char*>(pRecord->ExceptionInformation[1]));
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}
#else
void CatchDebugLine(const char* szLine, void* pContext) {
    static_cast<CDebugCapture*>(pContext)->Add(szLine);
}
#endif

}  // namespace

CDebugCapture::CDebugCapture() {
    if (g_pCapture != nullptr) {
        throw std::logic_error("one CDebugCapture at a time");
    }
    g_pCapture = this;
#ifdef _WIN32
    g_hHandler = AddVectoredExceptionHandler(1, CatchDebugPrint);
#else
    MirelSetDebugOutputSink(CatchDebugLine, this);
#endif
}

CDebugCapture::~CDebugCapture() {
#ifdef _WIN32
    RemoveVectoredExceptionHandler(g_hHandler);
    g_hHandler = nullptr;
#else
    MirelSetDebugOutputSink(nullptr, nullptr);
#endif
    g_pCapture = nullptr;
}

void CDebugCapture::Add(const char* szLine) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.emplace_back(szLine != nullptr ? szLine : "");
}

std::vector<std::string> CDebugCapture::Lines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

std::string CDebugCapture::Text() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text;
    for (const std::string& line : m_lines) {
        text += line;
    }
    return text;
}

void CDebugCapture::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}
