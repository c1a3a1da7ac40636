// Message-only windows and the thread message queue: creation and destruction messages, handle
// validity, ownership by the creating thread, posting from any thread, the order of posted
// messages, WM_QUIT and filters, clean-up of failed creation and of an ending thread's windows.
// Runs natively on a driven clock and under Wine against the system's own calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>

#include "platform/windows_api.h"
#include "tests/support/test_window.h"

namespace {

class MessageWindowTest : public ::testing::Test {
protected:
    void SetUp() override { CMessageLog::Clear(); }
    CDrivenClock m_clock;
};

std::vector<UINT> MessagesOf(HWND hWnd) {
    std::vector<UINT> messages;
    for (const LoggedMessage& entry : CMessageLog::All()) {
        if (entry.hWnd == hWnd) {
            messages.push_back(entry.nMessage);
        }
    }
    return messages;
}

::testing::AssertionResult IsOneOf(DWORD dwError, DWORD dwFirst, DWORD dwSecond) {
    if (dwError == dwFirst || dwError == dwSecond) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "error " << dwError;
}

bool Contains(const std::vector<UINT>& messages, UINT nMessage) {
    return std::find(messages.begin(), messages.end(), nMessage) != messages.end();
}

TEST_F(MessageWindowTest, CreationSendsCreateMessagesToALiveWindowOfTheCallingThread) {
    HWND hWnd = CreateTestWindow();
    ASSERT_NE(hWnd, nullptr);
    EXPECT_TRUE(IsWindow(hWnd));
    EXPECT_EQ(GetWindowThreadProcessId(hWnd, nullptr), GetCurrentThreadId());

    std::vector<LoggedMessage> creates = CMessageLog::Of(hWnd, WM_CREATE);
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_TRUE(creates[0].bWindowAlive);
    EXPECT_EQ(creates[0].dwThreadId, GetCurrentThreadId());
    std::vector<UINT> messages = MessagesOf(hWnd);
    ASSERT_TRUE(Contains(messages, WM_NCCREATE));
    EXPECT_LT(std::find(messages.begin(), messages.end(), WM_NCCREATE) - messages.begin(),
              std::find(messages.begin(), messages.end(), WM_CREATE) - messages.begin());
    EXPECT_TRUE(DestroyWindow(hWnd));
}

LPVOID g_pSeenCreateParam = nullptr;

LRESULT CALLBACK CreateParamWndProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    if (nMessage == WM_CREATE) {
        g_pSeenCreateParam = reinterpret_cast<const CREATESTRUCTA*>(lParam)->lpCreateParams;
    }
    return DefWindowProcA(hWnd, nMessage, wParam, lParam);
}

TEST_F(MessageWindowTest, CreateStructCarriesTheCreationParameter) {
    ASSERT_NE(RegisterTestClass("MirelCreateParamTest", CreateParamWndProc), 0);
    int nParam = 5;
    HWND hWnd = CreateMessageWindow("MirelCreateParamTest", &nParam);
    ASSERT_NE(hWnd, nullptr);
    EXPECT_EQ(g_pSeenCreateParam, &nParam);
    EXPECT_FALSE(UnregisterClassA("MirelCreateParamTest", nullptr));  // a window still lives
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS));
    EXPECT_TRUE(DestroyWindow(hWnd));
    EXPECT_TRUE(UnregisterClassA("mirelcreateparamtest", nullptr));  // names ignore case
    EXPECT_FALSE(UnregisterClassA("MirelCreateParamTest", nullptr));
}

TEST_F(MessageWindowTest, ClassErrors) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.lpszClassName = "MirelTwiceTest";
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    EXPECT_EQ(RegisterClassA(&windowClass), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));
    EXPECT_TRUE(UnregisterClassA("MirelTwiceTest", nullptr));

    EXPECT_EQ(CreateMessageWindow("MirelNoSuchClass"), nullptr);
    // Windows says ERROR_CANNOT_FIND_WND_CLASS; Wine answers ERROR_CLASS_DOES_NOT_EXIST.
    EXPECT_TRUE(IsOneOf(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS, ERROR_CLASS_DOES_NOT_EXIST));
}

TEST_F(MessageWindowTest, CreationFailsWhenWmCreateRefuses) {
    SetNextCreateResult(-1);
    EXPECT_EQ(CreateTestWindow(), nullptr);
}

TEST_F(MessageWindowTest, DestroySendsDestroyMessagesWhileAliveThenInvalidatesTheHandle) {
    HWND hWnd = CreateTestWindow();
    ASSERT_NE(hWnd, nullptr);
    CMessageLog::Clear();
    ASSERT_TRUE(DestroyWindow(hWnd));

    std::vector<LoggedMessage> log = CMessageLog::All();
    ASSERT_TRUE(MatchesSequence(log, {{WM_DESTROY}, {WM_NCDESTROY}}));
    EXPECT_TRUE(log[0].bWindowAlive);
    EXPECT_TRUE(log[1].bWindowAlive);

    EXPECT_FALSE(IsWindow(hWnd));
    EXPECT_FALSE(DestroyWindow(hWnd));
    // Windows says ERROR_INVALID_WINDOW_HANDLE; Wine answers ERROR_ACCESS_DENIED.
    EXPECT_TRUE(IsOneOf(GetLastError(), ERROR_INVALID_WINDOW_HANDLE, ERROR_ACCESS_DENIED));
    EXPECT_FALSE(PostMessageA(hWnd, WM_USER, 0, 0));
    EXPECT_EQ(SetTimer(hWnd, 1, 10, nullptr), 0u);
    EXPECT_FALSE(KillTimer(hWnd, 1));
    EXPECT_EQ(GetWindowThreadProcessId(hWnd, nullptr), 0u);
    MSG msg;
    EXPECT_EQ(GetMessageA(&msg, hWnd, 0, 0), -1);
}

TEST_F(MessageWindowTest, HandlesAreNotReusedSoonAfterDestruction) {
    std::set<HWND> seen;
    for (int i = 0; i < 200; ++i) {
        HWND hWnd = CreateTestWindow();
        ASSERT_NE(hWnd, nullptr);
        EXPECT_TRUE(seen.insert(hWnd).second) << "handle reused after " << i << " windows";
        ASSERT_TRUE(DestroyWindow(hWnd));
    }
}

TEST_F(MessageWindowTest, PostedMessagesComeInOrderBeforeTimersAndQuitEndsTheLoop) {
    HWND hWnd = CreateTestWindow();
    ASSERT_NE(hWnd, nullptr);
    ASSERT_NE(SetTimer(hWnd, 3, 10, nullptr), 0u);
    m_clock.Advance(40);  // the timer is due now, but posted messages still come first
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(PostMessageA(hWnd, WM_USER + 1, i, 100 + i));
    }
    PostQuitMessage(7);

    std::vector<MSG> received;
    MSG msg;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
        received.push_back(msg);
    }
    // The quit message ends the loop before the pending timer is looked at.
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 0);
    received.push_back(msg);
    // The timer's message comes next, once; the quit flag was consumed.
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
    received.push_back(msg);
    EXPECT_TRUE(MatchesSequence(received, {{WM_USER + 1, 0, 100, hWnd},
                                           {WM_USER + 1, 1, 101, hWnd},
                                           {WM_USER + 1, 2, 102, hWnd},
                                           {WM_QUIT, 7},
                                           {WM_TIMER, 3, 0}}));
    EXPECT_TRUE(KillTimer(hWnd, 3));
    EXPECT_TRUE(DestroyWindow(hWnd));
}

TEST_F(MessageWindowTest, FiltersSelectMessagesAndPeekCanLeaveThemInPlace) {
    HWND hFirst = CreateTestWindow();
    HWND hSecond = CreateTestWindow();
    ASSERT_TRUE(PostMessageA(hFirst, WM_USER + 1, 1, 0));
    ASSERT_TRUE(PostMessageA(hSecond, WM_USER + 2, 2, 0));
    ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 3, 3, 0));  // a message of the thread itself

    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, hSecond, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.wParam, 2u);
    ASSERT_TRUE(
        PeekMessageA(&msg, reinterpret_cast<HWND>(static_cast<intptr_t>(-1)), 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_EQ(msg.wParam, 3u);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_USER + 2, WM_USER + 2, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 2u);
    EXPECT_FALSE(PeekMessageA(&msg, hSecond, 0, 0, PM_REMOVE));
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 1u);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));

    // WM_QUIT comes through any filter.
    PostQuitMessage(0);
    ASSERT_TRUE(PeekMessageA(&msg, hFirst, WM_USER, WM_USER, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_TRUE(DestroyWindow(hFirst));
    EXPECT_TRUE(DestroyWindow(hSecond));
}

TEST_F(MessageWindowTest, MessagesOfADestroyedWindowAreDropped) {
    HWND hWnd = CreateTestWindow();
    ASSERT_TRUE(PostMessageA(hWnd, WM_USER + 1, 0, 0));
    ASSERT_NE(SetTimer(hWnd, 1, 10, nullptr), 0u);
    m_clock.Advance(30);
    ASSERT_TRUE(DestroyWindow(hWnd));
    CMessageLog::Clear();
    PumpMessages(100);
    EXPECT_TRUE(MessagesOf(hWnd).empty());
}

// What the queue hands out, without dispatching, until it is empty.
std::vector<MSG> DrainQueue() {
    std::vector<MSG> messages;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        messages.push_back(msg);
    }
    return messages;
}

// A WM_QUIT posted to a window that is then destroyed is not dropped with the window's other
// messages: the first one becomes the thread's quit message, without window or lParam, and comes
// after the messages still posted, unless the thread has a quit message already.
TEST_F(MessageWindowTest, QuitPostedToADestroyedWindowBecomesTheThreadsQuit) {
    HWND hWnd = CreateTestWindow();
    ASSERT_NE(hWnd, nullptr);
    ASSERT_TRUE(PostMessageA(hWnd, WM_USER, 1, 2));
    ASSERT_TRUE(PostMessageA(hWnd, WM_QUIT, 0x1234, 0x5678));
    ASSERT_TRUE(PostMessageA(hWnd, WM_QUIT, 0x4321, 0x8765));
    ASSERT_TRUE(PostMessageA(nullptr, WM_USER + 2, 3, 4));
    ASSERT_TRUE(DestroyWindow(hWnd));
    EXPECT_TRUE(MatchesSequence(DrainQueue(), {{WM_USER + 2}, {WM_QUIT, 0x1234, 0, nullptr}}));

    hWnd = CreateTestWindow();
    ASSERT_NE(hWnd, nullptr);
    PostQuitMessage(7);
    ASSERT_TRUE(PostMessageA(hWnd, WM_QUIT, 0x1234, 0));
    ASSERT_TRUE(DestroyWindow(hWnd));
    EXPECT_TRUE(MatchesSequence(DrainQueue(), {{WM_QUIT, 7}}));
}

TEST_F(MessageWindowTest, OtherThreadsPostToTheOwnerWhichAloneRunsTheProcedure) {
    CWindowThread owner;
    HWND hWnd = owner.Window();
    ASSERT_NE(hWnd, nullptr);
    EXPECT_EQ(GetWindowThreadProcessId(hWnd, nullptr), owner.ThreadId());
    EXPECT_TRUE(IsWindow(hWnd));

    // Only the owner may destroy it, and dispatching its messages elsewhere does not run the
    // procedure on the wrong thread.
    EXPECT_FALSE(DestroyWindow(hWnd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(IsWindow(hWnd));
    MSG foreign{};
    foreign.hwnd = hWnd;
    foreign.message = WM_USER + 5;
    EXPECT_EQ(DispatchMessageA(&foreign), 0);

    ASSERT_TRUE(PostMessageA(hWnd, WM_USER + 1, 11, 12));
    ASSERT_TRUE(WaitUntil([&] { return CMessageLog::Count(hWnd, WM_USER + 1) == 1; }, 5000));
    LoggedMessage received = CMessageLog::Of(hWnd, WM_USER + 1)[0];
    EXPECT_EQ(received.dwThreadId, owner.ThreadId());
    EXPECT_EQ(received.wParam, 11u);
    EXPECT_EQ(received.lParam, 12);
    EXPECT_EQ(CMessageLog::Count(hWnd, WM_USER + 5), 0u);
}

// The tests below own a test window on the test's thread.
using OwnedWindowTest = CTestWindowFixture;

TEST_F(OwnedWindowTest, RefusedCreationEndsWithNcDestroy) {
    SetNextCreateResult(-1);
    ASSERT_EQ(CreateTestWindow(), nullptr);
    std::vector<LoggedMessage> log = CMessageLog::All();
    ASSERT_GE(log.size(), 3u);
    HWND hRefused = log.back().hWnd;
    EXPECT_NE(hRefused, m_hWnd);
    EXPECT_EQ(log.back().nMessage, static_cast<UINT>(WM_NCDESTROY));
    EXPECT_FALSE(IsWindow(hRefused));
}

TEST_F(OwnedWindowTest, AnEndingThreadTakesItsWindowsAlong) {
    HWND hOrphan = nullptr;
    std::thread([&hOrphan] {
        hOrphan = CreateTestWindow();
        SetTimer(hOrphan, 1, 10, nullptr);
        PostMessageA(hOrphan, WM_USER, 0, 0);
    }).join();
    ASSERT_NE(hOrphan, nullptr);
    EXPECT_FALSE(IsWindow(hOrphan));
    // As Windows does it: the procedure hears nothing of the window's end.
    EXPECT_EQ(CMessageLog::Count(hOrphan, WM_DESTROY), 0u);
    EXPECT_EQ(CMessageLog::Count(hOrphan, WM_NCDESTROY), 0u);
    EXPECT_FALSE(PostMessageA(hOrphan, WM_USER, 0, 0));
    EXPECT_EQ(SetTimer(hOrphan, 1, 10, nullptr), 0u);
}

}  // namespace
