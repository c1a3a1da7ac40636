// What the POSIX message queue promises beyond what Windows guarantees, on a driven clock: timers
// keep their phase exactly and never fire early, missed periods fold into one tick, many timers
// come out in the order of their due times; and the posted-message quota, a queue that wakes
// without a timerfd, and two Windows behaviours that Wine does not share: the check of timer
// procedures in DispatchMessageA and a DestroyWindow nested in WM_DESTROY.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <random>

#include "platform/windows_api.h"
#include "tests/support/test_window.h"

namespace {

using MessageQueuePosixTest = CTestWindowFixture;

// The times of a timer's ticks, in milliseconds after dwStart.
std::vector<DWORD> TickTimes(HWND hWnd, UINT_PTR nID, DWORD dwStart) {
    std::vector<DWORD> times;
    for (const LoggedMessage& tick : CMessageLog::Of(hWnd, WM_TIMER, nID)) {
        times.push_back(tick.dwTime - dwStart);
    }
    return times;
}

void DispatchAll() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&msg);
    }
}

// A loop that looks at its queue every 3 ms gets each tick of a 10 ms timer at its first look
// after the tick's point on the timer's grid: never before, and without drift, however late the
// looks before it were. A timer re-armed from the time of delivery would fall behind its grid.
TEST_F(MessageQueuePosixTest, TimersKeepTheirPhaseAndNeverComeEarly) {
    const DWORD dwStart = GetTickCount();
    ASSERT_NE(SetTimer(m_hWnd, 1, 10, nullptr), 0u);
    for (int nLook = 0; nLook < 334; ++nLook) {
        m_clock.Advance(3);
        DispatchAll();
    }
    const std::vector<DWORD> times = TickTimes(m_hWnd, 1, dwStart);
    ASSERT_EQ(times.size(), 100u);
    for (DWORD n = 0; n < times.size(); ++n) {
        const DWORD dwGridPoint = 10 * (n + 1);
        EXPECT_EQ(times[n], (dwGridPoint + 2) / 3 * 3) << "tick " << n;
    }
}

TEST_F(MessageQueuePosixTest, MissedPeriodsFoldIntoOneTickAndThePhaseResumes) {
    const DWORD dwStart = GetTickCount();
    ASSERT_NE(SetTimer(m_hWnd, 2, 10, nullptr), 0u);
    m_clock.Advance(55);  // five periods and a half pass without the queue being looked at
    PumpMessages(25);
    EXPECT_EQ(TickTimes(m_hWnd, 2, dwStart), (std::vector<DWORD>{55, 60, 70, 80}));
}

// Many timers set, replaced and killed in a random order come out of the heap in the order of
// their due times, once each, and never the killed ones.
TEST_F(MessageQueuePosixTest, ManyTimersComeOutInDueOrderOncePerTimer) {
    const DWORD dwStart = GetTickCount();
    std::mt19937 random(1234);
    std::map<UINT_PTR, DWORD> due;  // milliseconds after the start
    auto set = [&](UINT_PTR nID) {
        const UINT uElapse = 400 + random() % 91;
        ASSERT_NE(SetTimer(m_hWnd, nID, uElapse, nullptr), 0u);
        due[nID] = GetTickCount() - dwStart + uElapse;
        if (random() % 8 == 0) {
            m_clock.Advance(1);
        }
    };
    for (UINT_PTR nID = 1; nID <= 300; ++nID) {
        set(nID);
    }
    for (int i = 0; i < 150; ++i) {
        const UINT_PTR nID = 1 + random() % 300;
        if (i % 3 == 0) {
            set(nID);
        } else if (due.erase(nID) == 1) {
            ASSERT_TRUE(KillTimer(m_hWnd, nID));
        }
    }
    // Past every first expiry, and before any second one: the elapses are 400 ms or more.
    m_clock.Advance(600);
    std::vector<UINT_PTR> delivered;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ASSERT_EQ(msg.message, static_cast<UINT>(WM_TIMER));
        delivered.push_back(msg.wParam);
    }
    ASSERT_EQ(delivered.size(), due.size());
    for (size_t i = 0; i < delivered.size(); ++i) {
        ASSERT_EQ(due.count(delivered[i]), 1u) << "killed timer " << delivered[i];
        if (i > 0) {
            EXPECT_LE(due[delivered[i - 1]], due[delivered[i]]) << "at " << i;
        }
    }
    for (const auto& timer : due) {
        KillTimer(m_hWnd, timer.first);
    }
}

TEST_F(MessageQueuePosixTest, AQueueHoldsAtMostTenThousandPostedMessages) {
    for (int i = 0; i < 10000; ++i) {
        ASSERT_TRUE(PostMessageA(m_hWnd, WM_USER, i, 0));
    }
    EXPECT_FALSE(PostMessageA(m_hWnd, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(PostMessageA(m_hWnd, WM_USER, 0, 0));
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

std::atomic<int> g_procCalls{0};
void CALLBACK CountingTimerProc(HWND, UINT, UINT_PTR, DWORD) {
    ++g_procCalls;
}

// Windows calls a WM_TIMER's procedure only if a timer was set with it, against forged messages;
// the Wine of our test runs calls any, so this stays here rather than where Wine would run it.
TEST_F(MessageQueuePosixTest, DispatchCallsOnlyProceduresThatATimerWasSetWith) {
    g_procCalls = 0;
    MSG forged{};
    forged.hwnd = m_hWnd;
    forged.message = WM_TIMER;
    forged.wParam = 3;
    forged.lParam = reinterpret_cast<LPARAM>(CountingTimerProc);
    DispatchMessageA(&forged);
    EXPECT_EQ(g_procCalls, 0);
    ASSERT_NE(SetTimer(m_hWnd, 3, 1000, CountingTimerProc), 0u);
    DispatchMessageA(&forged);
    EXPECT_EQ(g_procCalls, 1);
    ASSERT_TRUE(KillTimer(m_hWnd, 3));
    DispatchMessageA(&forged);
    EXPECT_EQ(g_procCalls, 1);
}

int g_nDestroys = 0;
int g_nNcDestroys = 0;

LRESULT CALLBACK NestedDestroyWndProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    if (nMessage == WM_DESTROY) {
        ++g_nDestroys;
        EXPECT_TRUE(DestroyWindow(hWnd));
    } else if (nMessage == WM_NCDESTROY) {
        ++g_nNcDestroys;
    }
    return DefWindowProcA(hWnd, nMessage, wParam, lParam);
}

// The Wine of our test runs sends WM_DESTROY again for each nested DestroyWindow and never
// WM_NCDESTROY, so this stays here rather than where Wine would run it.
TEST_F(MessageQueuePosixTest, DestroyWindowInsideWmDestroySendsEachMessageOnce) {
    ASSERT_NE(RegisterTestClass("MirelNestedDestroy", NestedDestroyWndProc), 0);
    HWND hWnd = CreateMessageWindow("MirelNestedDestroy");
    ASSERT_NE(hWnd, nullptr);
    EXPECT_TRUE(DestroyWindow(hWnd));
    EXPECT_EQ(g_nDestroys, 1);
    EXPECT_EQ(g_nNcDestroys, 1);
    EXPECT_FALSE(IsWindow(hWnd));
    EXPECT_TRUE(UnregisterClassA("MirelNestedDestroy", nullptr));
}

// A queue whose thread found the descriptor table full has no timerfd and waits on a condition
// variable instead; timers and posts from other threads still reach it.
TEST(MessageQueueFallbackPosixTest, AQueueWithoutATimerfdStillWakesForTimersAndPosts) {
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer's runtime needs descriptors of its own while the table is full.
    GTEST_SKIP() << "not with the address sanitizer";
#endif
    CMessageLog::Clear();
    CDrivenClock clock;
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int nLowestFree = open("/dev/null", O_RDONLY);
    ASSERT_GE(nLowestFree, 0);
    close(nLowestFree);
    rlimit full = saved;
    full.rlim_cur = static_cast<rlim_t>(nLowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &full), 0);
    auto pOwner = std::make_unique<CWindowThread>();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    HWND hWnd = pOwner->Window();
    ASSERT_NE(hWnd, nullptr);

    Sleep(20);  // the owner blocks with nothing to wait for
    ASSERT_NE(SetTimer(hWnd, 1, 10, nullptr), 0u);
    EXPECT_TRUE(WaitUntil([&] { return CMessageLog::Count(hWnd, WM_TIMER, 1) >= 3; }, 5000));
    ASSERT_TRUE(KillTimer(hWnd, 1));
    Sleep(20);
    ASSERT_TRUE(PostMessageA(hWnd, WM_USER + 7, 0, 0));
    EXPECT_TRUE(WaitUntil([&] { return CMessageLog::Count(hWnd, WM_USER + 7) == 1; }, 5000));
}

}  // namespace
