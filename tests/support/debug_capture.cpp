#include "tests/support/debug_capture.h"

namespace {

void CatchDebugLine(const char* szLine, void* pContext) {
    static_cast<CDebugCapture*>(pContext)->Add(szLine);
}

}  // namespace

CDebugCapture::CDebugCapture() : m_tap(CatchDebugLine, this) {}

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
