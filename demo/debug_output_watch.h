// CDebugOutputWatch: while it lives, every line the modules write to the debugger output is echoed
// to standard error and counted, so that the demo can show that no leak report was printed.
#ifndef MIREL_DEMO_DEBUG_OUTPUT_WATCH_H
#define MIREL_DEMO_DEBUG_OUTPUT_WATCH_H

#include <atomic>

#include "platform/debug_output_tap.h"

class CDebugOutputWatch {
public:
    CDebugOutputWatch();
    CDebugOutputWatch(const CDebugOutputWatch&) = delete;
    CDebugOutputWatch& operator=(const CDebugOutputWatch&) = delete;

    int Lines() const { return m_nLines; }
    int LeakReports() const { return m_nLeakReports; }

    void Take(const char* szLine);  // for the platform hook

private:
    std::atomic<int> m_nLines{0};
    std::atomic<int> m_nLeakReports{0};
    CDebugOutputTap m_tap;  // last: it may call Take as soon as it exists
};

#endif  // MIREL_DEMO_DEBUG_OUTPUT_WATCH_H
