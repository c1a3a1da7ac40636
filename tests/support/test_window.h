// Test windows for the message-loop tests: message-only windows of one recording class whose
// procedure logs every message with the time and the thread it ran on, a loop that pumps the
// calling thread's queue without polling, and a worker thread that owns a window and runs its
// loop. The log is process-wide and locked, so any thread may read it.
#ifndef MIREL_TESTS_SUPPORT_TEST_WINDOW_H
#define MIREL_TESTS_SUPPORT_TEST_WINDOW_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "platform/windows_api.h"

using TestClock = std::chrono::steady_clock;

struct CLoggedMessage {
    HWND hWnd;
    UINT nMessage;
    WPARAM wParam;
    LPARAM lParam;
    DWORD dwThreadId;
    BOOL bWindowAlive;  // what IsWindow answered inside the procedure
    TestClock::time_point at;
};

// Messages a test window reacts to beyond logging them.
constexpr UINT kQuitLoopMessage = WM_USER + 99;  // the procedure calls PostQuitMessage(0)

class CMessageLog {
public:
    static void Clear();
    static std::vector<CLoggedMessage> All();
    // The messages of one window with one message number, and with one wParam unless it is ~0.
    static std::vector<CLoggedMessage> Of(HWND hWnd, UINT nMessage, WPARAM wParam = ~WPARAM(0));
    static size_t Count(HWND hWnd, UINT nMessage, WPARAM wParam = ~WPARAM(0));
};

// What the recording procedure returns for WM_CREATE on the calling thread's next window.
void SetNextCreateResult(LRESULT lResult);

// Registers the recording class on first use and makes a message-only window of it.
HWND CreateTestWindow(LPVOID lpParam = nullptr);
extern const char* const kTestWindowClass;

// Gets and dispatches the calling thread's messages until done() holds or the timeout passes;
// blocks in GetMessageA in between (a thread timer marks the timeout). Returns done().
bool PumpUntil(const std::function<bool()>& done, DWORD dwTimeoutMs);
void PumpFor(DWORD dwMs);

// Polls done() every few milliseconds, without pumping; for threads that do not own the window.
bool WaitUntil(const std::function<bool()>& done, DWORD dwTimeoutMs);

// A fixture whose test owns one test window on the test's thread, with the log cleared before.
class CTestWindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        CMessageLog::Clear();
        m_hWnd = CreateTestWindow();
        ASSERT_NE(m_hWnd, nullptr);
    }
    void TearDown() override { DestroyWindow(m_hWnd); }

    HWND m_hWnd = nullptr;
};

// A thread that owns a test window and runs GetMessageA/DispatchMessageA until its loop gets
// WM_QUIT; the destructor asks it to quit, joins it, and it destroys its window on the way out.
class CWindowThread {
public:
    CWindowThread();
    ~CWindowThread();
    CWindowThread(const CWindowThread&) = delete;
    CWindowThread& operator=(const CWindowThread&) = delete;

    HWND Window() const { return m_hWnd; }
    DWORD ThreadId() const { return m_dwThreadId; }

private:
    std::thread m_thread;
    HWND m_hWnd = nullptr;
    DWORD m_dwThreadId = 0;
};

#endif  // MIREL_TESTS_SUPPORT_TEST_WINDOW_H
