// Windows timers on message-only windows: WM_TIMER contents and delivery, replacement, the
// minimum elapse, coalescing on a busy thread, the period over many ticks, killing, thread
// timers, and timers set and killed from threads other than the owner. Runs natively on a driven
// clock, where every count and time is exact, and under Wine against the system's own calls and
// clock, within generous bounds. The tests of other threads run on the real clock on purpose: a
// blocked owner must be woken by the real timerfd.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/windows_api.h"
#include "tests/support/test_window.h"

namespace {

class WindowTimerTest : public CTestWindowFixture {
protected:
    size_t Ticks(UINT_PTR nID) const { return CMessageLog::Count(m_hWnd, WM_TIMER, nID); }
    bool PumpTicks(UINT_PTR nID, size_t nCount, DWORD dwTimeoutMs) {
        return PumpMessagesUntil([&] { return Ticks(nID) >= nCount; }, dwTimeoutMs);
    }
};

TEST_F(WindowTimerTest, TimerMessagesCarryTheIdAndReachTheWindowOnItsThread) {
    ASSERT_EQ(SetTimer(m_hWnd, 42, 10, nullptr), 42u);
    ASSERT_TRUE(PumpTicks(42, 3, 5000));
    for (const LoggedMessage& tick : CMessageLog::Of(m_hWnd, WM_TIMER, 42)) {
        EXPECT_EQ(tick.lParam, 0);
        EXPECT_EQ(tick.dwThreadId, GetCurrentThreadId());
    }
    EXPECT_TRUE(KillTimer(m_hWnd, 42));
}

std::atomic<int> g_procCalls{0};
void CALLBACK CountingTimerProc(HWND, UINT nMessage, UINT_PTR, DWORD) {
    if (nMessage == WM_TIMER) {
        ++g_procCalls;
    }
}

TEST_F(WindowTimerTest, ATimerProcedureIsCalledInsteadOfTheWindow) {
    g_procCalls = 0;
    ASSERT_NE(SetTimer(m_hWnd, 7, 10, CountingTimerProc), 0u);
    ASSERT_TRUE(PumpMessagesUntil([] { return g_procCalls >= 3; }, 5000));
    EXPECT_EQ(Ticks(7), 0u);
    EXPECT_TRUE(KillTimer(m_hWnd, 7));
}

TEST_F(WindowTimerTest, ATimerSetWithoutAProcedureReachesTheWindowAfterOneThatHadOne) {
    // Timer 8 is set again without its procedure; timer 10 comes after timer 9, which had one.
    g_procCalls = 0;
    ASSERT_NE(SetTimer(m_hWnd, 8, 10, CountingTimerProc), 0u);
    ASSERT_NE(SetTimer(m_hWnd, 8, 10, nullptr), 0u);
    ASSERT_NE(SetTimer(m_hWnd, 9, 10, CountingTimerProc), 0u);
    ASSERT_TRUE(KillTimer(m_hWnd, 9));
    ASSERT_NE(SetTimer(m_hWnd, 10, 10, nullptr), 0u);
    ASSERT_TRUE(PumpMessagesUntil([&] { return Ticks(8) >= 2 && Ticks(10) >= 2; }, 5000));
    EXPECT_EQ(g_procCalls, 0);
    EXPECT_TRUE(KillTimer(m_hWnd, 8));
    EXPECT_TRUE(KillTimer(m_hWnd, 10));
}

TEST_F(WindowTimerTest, ThreadTimersGetTheirOwnIdAndCanBeReplaced) {
    g_procCalls = 0;
    UINT_PTR nID = SetTimer(nullptr, 0, 10, CountingTimerProc);
    ASSERT_NE(nID, 0u);
    EXPECT_EQ(SetTimer(nullptr, nID, 20, CountingTimerProc), nID);
    ASSERT_TRUE(PumpMessagesUntil([] { return g_procCalls >= 2; }, 5000));
    EXPECT_TRUE(KillTimer(nullptr, nID));
    EXPECT_FALSE(KillTimer(nullptr, nID));
}

TEST_F(WindowTimerTest, SettingAnExistingIdRestartsItsCountdown) {
    const DWORD dwStarted = GetTickCount();
    ASSERT_NE(SetTimer(m_hWnd, 1, 200, nullptr), 0u);
    m_clock.Advance(120);
    const DWORD dwRestarted = GetTickCount();
    ASSERT_NE(SetTimer(m_hWnd, 1, 200, nullptr), 0u);
    ASSERT_TRUE(PumpTicks(1, 1, 5000));
    // Without the restart the first tick would come 200 ms after the start.
    const DWORD dwFirst = CMessageLog::Of(m_hWnd, WM_TIMER, 1)[0].dwTime;
    EXPECT_TRUE(ExactlyOrWithin(dwFirst - dwRestarted, 200, 150, 5000));
    EXPECT_TRUE(ExactlyOrWithin(dwFirst - dwStarted, 320, 270, 5000));
    EXPECT_TRUE(KillTimer(m_hWnd, 1));
}

TEST_F(WindowTimerTest, ElapsesBelowTenMillisecondsAreRaisedToTen) {
    for (UINT uElapse : {0u, 1u, 5u}) {
        CMessageLog::Clear();
        ASSERT_NE(SetTimer(m_hWnd, 2, uElapse, nullptr), 0u);
        PumpMessages(300);
        EXPECT_TRUE(KillTimer(m_hWnd, 2));
        // Unclamped, 300 ms would give 60 ticks or more.
        EXPECT_TRUE(ExactlyOrWithin(Ticks(2), 30, 5, 35)) << "elapse " << uElapse;
    }
}

TEST_F(WindowTimerTest, ABusyThreadGetsOneTickNotABurst) {
    ASSERT_NE(SetTimer(m_hWnd, 4, 20, nullptr), 0u);
    m_clock.Advance(300);  // fifteen periods pass without the queue being looked at
    MSG msg;
    size_t nWaiting = 0;
    while (PeekMessageA(&msg, m_hWnd, 0, 0, PM_REMOVE)) {
        nWaiting += msg.message == WM_TIMER && msg.wParam == 4;
    }
    EXPECT_EQ(nWaiting, 1u);
    EXPECT_TRUE(KillTimer(m_hWnd, 4));
}

TEST_F(WindowTimerTest, TheMedianIntervalStaysTheElapseOverManyPeriods) {
    ASSERT_NE(SetTimer(m_hWnd, 5, 20, nullptr), 0u);
    ASSERT_TRUE(PumpTicks(5, 41, 10000));
    EXPECT_TRUE(KillTimer(m_hWnd, 5));
    std::vector<LoggedMessage> ticks = CMessageLog::Of(m_hWnd, WM_TIMER, 5);
    std::vector<int64_t> intervals;
    for (size_t i = 1; i < ticks.size(); ++i) {
        intervals.push_back(static_cast<int64_t>(ticks[i].dwTime - ticks[i - 1].dwTime));
    }
    std::nth_element(intervals.begin(), intervals.begin() + intervals.size() / 2, intervals.end());
    EXPECT_TRUE(ExactlyOrWithin(intervals[intervals.size() / 2], 20, 15, 30));
}

TEST_F(WindowTimerTest, NoTickComesAfterKillTimer) {
    ASSERT_NE(SetTimer(m_hWnd, 6, 10, nullptr), 0u);
    ASSERT_TRUE(PumpTicks(6, 2, 5000));
    ASSERT_TRUE(KillTimer(m_hWnd, 6));
    const size_t nBefore = Ticks(6);
    PumpMessages(100);
    EXPECT_EQ(Ticks(6), nBefore);
    EXPECT_FALSE(KillTimer(m_hWnd, 6));
}

// ----- Other threads, on the real clock ----------------------------------------------------

TEST(WindowTimerRealClockTest, AnotherThreadSetsAndKillsTimersThatTheOwnerReceives) {
    CMessageLog::Clear();
    CWindowThread owner;
    HWND hWnd = owner.Window();
    ASSERT_NE(hWnd, nullptr);

    // The owner is blocked in GetMessageA with nothing to wait for: the new timer must wake it.
    Sleep(20);
    ASSERT_EQ(SetTimer(hWnd, 9, 10, nullptr), 9u);
    ASSERT_TRUE(WaitUntil([&] { return CMessageLog::Count(hWnd, WM_TIMER, 9) >= 3; }, 5000));
    for (const LoggedMessage& tick : CMessageLog::Of(hWnd, WM_TIMER, 9)) {
        EXPECT_EQ(tick.dwThreadId, owner.ThreadId());
    }

    ASSERT_TRUE(KillTimer(hWnd, 9));
    // A tick the owner had already taken out before the kill may still be dispatched.
    const size_t nAtKill = CMessageLog::Count(hWnd, WM_TIMER, 9);
    Sleep(100);
    EXPECT_LE(CMessageLog::Count(hWnd, WM_TIMER, 9), nAtKill + 1);
    const size_t nSettled = CMessageLog::Count(hWnd, WM_TIMER, 9);
    Sleep(100);
    EXPECT_EQ(CMessageLog::Count(hWnd, WM_TIMER, 9), nSettled);
}

// Several threads set, replace and kill timers on one window and post to it while its owner
// runs its loop; every posted message arrives and, once every timer is killed, ticks stop.
TEST(WindowTimerRealClockTest, ConcurrentTimersAndPostsFromManyThreads) {
    CMessageLog::Clear();
    CWindowThread owner;
    HWND hWnd = owner.Window();
    ASSERT_NE(hWnd, nullptr);

    constexpr int kThreads = 4;
    constexpr int kRounds = 500;
    std::vector<std::thread> threads;
    std::atomic<int> nFailures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const UINT_PTR nID = 100 + t * 10 + i % 5;
                nFailures += SetTimer(hWnd, nID, 10 + i % 3, nullptr) == 0;
                nFailures += !PostMessageA(hWnd, WM_USER + 2, t, i);
                if (i % 2 == 1) {
                    nFailures += !KillTimer(hWnd, nID);
                }
            }
            for (UINT_PTR nID = 100 + t * 10; nID < 100 + t * 10 + 5u; ++nID) {
                KillTimer(hWnd, nID);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(nFailures, 0);
    ASSERT_TRUE(WaitUntil(
        [&] { return CMessageLog::Count(hWnd, WM_USER + 2) == size_t{kThreads} * kRounds; },
        10000));
    // Messages of one poster arrive in the order it posted them.
    std::vector<int> lastRound(kThreads, -1);
    for (const LoggedMessage& posted : CMessageLog::Of(hWnd, WM_USER + 2)) {
        EXPECT_GT(static_cast<int>(posted.lParam), lastRound[posted.wParam]);
        lastRound[posted.wParam] = static_cast<int>(posted.lParam);
    }
    Sleep(50);
    const size_t nTicks = CMessageLog::Count(hWnd, WM_TIMER);
    Sleep(100);
    EXPECT_EQ(CMessageLog::Count(hWnd, WM_TIMER), nTicks);
}

}  // namespace
