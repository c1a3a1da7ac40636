// CDebugOutputWatch: while it lives, every line the modules write to the debugger output is echoed
// to standard error and counted, so that the demo can show that no leak report was printed. On
// Windows it catches the debug-print exception in-process; on POSIX it takes the stand-in's sink.
#ifndef MIREL_DEMO_DEBUG_OUTPUT_WATCH_H
#define MIREL_DEMO_DEBUG_OUTPUT_WATCH_H

#include <atomic>

class CDebugOutputWatch {
public:
    CDebugOutputWatch();
    ~CDebugOutputWatch();
    CDebugOutputWatch(const CDebugOutputWatch&) = delete;
    CDebugOutputWatch& operator=(const CDebugOutputWatch&) = delete;

    int Lines() const { return m_nLines; }
    int LeakReports() const { return m_nLeakReports; }

    void Take(const char* szLine);  // for the platform hook

private:
    std::atomic<int> m_nLines{0};
    std::atomic<int> m_nLeakReports{0};
};

#endif  // MIREL_DEMO_DEBUG_OUTPUT_WATCH_H
