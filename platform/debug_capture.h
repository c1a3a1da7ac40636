// CDebugCapture: collects every line written with OutputDebugStringA while it lives, by any module
// of the process and from any thread; tests check the lines, and a host such as the demo echoes
// them to standard error as they come. One capture at a time per process.
#ifndef MIREL_PLATFORM_DEBUG_CAPTURE_H
#define MIREL_PLATFORM_DEBUG_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

#include "platform/debug_output_tap.h"

class CDebugCapture {
public:
    // With a prefix, each line is also written to standard error behind it as it comes.
    explicit CDebugCapture(const char* szEchoPrefix = nullptr);
    CDebugCapture(const CDebugCapture&) = delete;
    CDebugCapture& operator=(const CDebugCapture&) = delete;

    std::vector<std::string> Lines() const;
    // Every line joined, for tests that look at a sequence of lines as one text.
    std::string Text() const;
    void Clear();

    // Called by the platform hook; public only for it.
    void Add(const char* szLine);

private:
    const char* m_szEchoPrefix;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
    CDebugOutputTap m_tap;  // last: it may call Add as soon as it exists
};

#endif  // MIREL_PLATFORM_DEBUG_CAPTURE_H
