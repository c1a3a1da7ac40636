// Test windows for the message-loop tests: message-only windows of one recording class whose
// procedure logs every message with the time and the thread it ran on, and a worker thread that
// owns a window and runs its loop; the calling thread's loop is the tests' one message pump. The
// log is process-wide and locked, so any thread may read it.
#ifndef MIREL_TESTS_SUPPORT_TEST_WINDOW_H
#define MIREL_TESTS_SUPPORT_TEST_WINDOW_H

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "platform/windows_api.h"
#include "tests/support/message_pump.h"

struct LoggedMessage {
    HWND hWnd;
    UINT nMessage;
    WPARAM wParam;
    LPARAM lParam;
    DWORD dwThreadId;
    BOOL bWindowAlive;  // what IsWindow answered inside the procedure
    DWORD dwTime;       // GetTickCount inside the procedure: the clock that timers follow
};

// Messages a test window reacts to beyond logging them.
constexpr UINT kQuitLoopMessage = WM_USER + 99;  // the procedure calls PostQuitMessage(0)

class CMessageLog {
public:
    static void Clear();
    static std::vector<LoggedMessage> All();
    // The messages of one window with one message number, and with one wParam unless it is ~0.
    static std::vector<LoggedMessage> Of(HWND hWnd, UINT nMessage, WPARAM wParam = ~WPARAM(0));
    static size_t Count(HWND hWnd, UINT nMessage, WPARAM wParam = ~WPARAM(0));
};

// What the recording procedure returns for WM_CREATE on the calling thread's next window.
void SetNextCreateResult(LRESULT lResult);

// Registers the recording class on first use and makes a message-only window of it.
HWND CreateTestWindow(LPVOID lpParam = nullptr);
extern const char* const kTestWindowClass;

// For tests with a procedure of their own: registers a class of that name (0 when that fails),
// and makes a message-only window of a registered class.
ATOM RegisterTestClass(const char* szClassName, WNDPROC pfnWndProc);
HWND CreateMessageWindow(const char* szClassName, LPVOID lpParam = nullptr);

// One row of a table of expected messages, checked in order against what a queue handed out or a
// procedure received. A field left at its "any" value is not compared.
struct ExpectedMessage {
    UINT nMessage;
    WPARAM wParam = kAnyParam;
    LPARAM lParam = kAnyLParam;
    HWND hWnd = AnyWindow();

    static constexpr WPARAM kAnyParam = ~WPARAM(0);
    static constexpr LPARAM kAnyLParam = LPARAM(0x7BADF00D);
    static HWND AnyWindow() { return reinterpret_cast<HWND>(~uintptr_t(0)); }
};

// Success when the messages are those of the table, one for one and in its order; otherwise the
// first row that differs, and both sequences.
::testing::AssertionResult MatchesSequence(const std::vector<MSG>& messages,
                                           const std::vector<ExpectedMessage>& expected);
::testing::AssertionResult MatchesSequence(const std::vector<LoggedMessage>& messages,
                                           const std::vector<ExpectedMessage>& expected);

// A fixture whose test owns one test window on the test's thread, with the log cleared before,
// on the real clock: for the few tests that are about the real clock.
class CRealClockWindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        CMessageLog::Clear();
        m_hWnd = CreateTestWindow();
        ASSERT_NE(m_hWnd, nullptr);
    }
    void TearDown() override { DestroyWindow(m_hWnd); }

    HWND m_hWnd = nullptr;
};

// The same on a driven clock, as every other test of timers has it.
class CTestWindowFixture : public CRealClockWindowFixture {
protected:
    CDrivenClock m_clock;
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
