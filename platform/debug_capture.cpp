#include "platform/debug_capture.h"

#include <stdio.h>
#include <string.h>

#include <new>

namespace {

void CatchDebugLine(const char* szLine, void* pContext) {
    static_cast<CDebugCapture*>(pContext)->Add(szLine);
}

}  // namespace

CDebugCapture::CDebugCapture(const char* szEchoPrefix)
    : m_szEchoPrefix(szEchoPrefix), m_tap(CatchDebugLine, this) {}

void CDebugCapture::Add(const char* szLine) {
    if (szLine == nullptr) {
        szLine = "";
    }
    if (m_szEchoPrefix != nullptr) {
        // The text goes on as the modules wrote it; only a missing line end is made up for.
        const size_t nLength = strlen(szLine);
        fprintf(stderr, "%s%s%s", m_szEchoPrefix, szLine,
                nLength != 0 && szLine[nLength - 1] == '\n' ? "" : "\n");
    }
    // Out of memory the line is dropped: the capture stands where the debug output goes, so an
    // exception from here would leave through the code that wrote the line.
    std::lock_guard<std::mutex> lock(m_mutex);
    try {
        m_lines.emplace_back(szLine);
    } catch (const std::bad_alloc&) {
    }
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
