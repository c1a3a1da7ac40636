// The timer service from a client's side and from inside: IDs, expiries, the scope of each
// component's timers, the shared hidden window's life, the failures of getting a window, and the
// dispatch's tolerance of handlers that stop timers or release components. The window comes from
// the framework's factory library and message-window module through a configuration file, as in
// a real host; the test program itself carries the timer module's code.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "mirel/exports.h"
#include "mirel/timer.h"
#include "module/live_registry.h"
#include "base/module_state.h"
#include "platform/debug_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/timer_test_support.h"
#include "timer/timer_manager.h"

namespace {

class TimerServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        MirelSetDllSafe(1);
        SetFactoryHandle(nullptr);
        SetDLLRegistry(WriteTimerConfiguration(m_dir, "MirelMsgWnd.dll").c_str());
        TimerManager.SetPlatformCalls(CTimerManager::RealPlatformCalls());
    }
    void TearDown() override {
        TimerManager.SetPlatformCalls(CTimerManager::RealPlatformCalls());
        EXPECT_EQ(LiveRegistry.size(), 0u);
        EXPECT_TRUE(TimerManager.TimersForTesting().empty());
        SetDLLRegistry(nullptr);
    }
    CTempDir m_dir;
    CDrivenClock m_clock;
};

// The counter is put back where a new manager starts it, so the test holds in any order.
TEST_F(TimerServiceTest, IdsStartAtOneAndComeFromOneCounterForAllComponents) {
    ITimer* pA = NewTimerComponent();
    ITimer* pB = NewTimerComponent();
    ASSERT_TRUE(pA && pB);
    TimerManager.SetNextTimerIdForTesting(1);
    EXPECT_EQ(pA->StartTimer(1000, 0, nullptr), 1u);
    EXPECT_EQ(pB->StartTimer(1000, 0, nullptr), 2u);
    EXPECT_EQ(pA->StartTimer(1000, 0, nullptr), 3u);
    EXPECT_EQ(pB->StartTimer(1000, 0, nullptr), 4u);
    pA->StopTimer(3);
    EXPECT_EQ(pA->StartTimer(1000, 0, nullptr), 5u);  // a stopped ID is not handed out again
    pA->Release(0);
    pB->Release(0);
}

TEST_F(TimerServiceTest, OnTimerReceivesTheIdAndUserValueAgainAndAgain) {
    ITimer* pTimer = NewTimerComponent();
    CRecordingHandler handler;
    const uint32_t nId = pTimer->StartTimer(20, -77, &handler);
    ASSERT_NE(nId, 0u);
    EXPECT_TRUE(PumpMessagesUntil([&] { return handler.Count() >= 4; }, 3000));
    for (const auto& call : handler.Calls()) {
        EXPECT_EQ(call.first, nId);
        EXPECT_EQ(call.second, -77);
    }
    pTimer->Release(0);
}

TEST_F(TimerServiceTest, ATimerWithoutHandlerRunsAndStopsLikeAnyOther) {
    ITimer* pTimer = NewTimerComponent();
    CRecordingHandler witness;
    const uint32_t nSilent = pTimer->StartTimer(15, 1, nullptr);
    const uint32_t nHeard = pTimer->StartTimer(15, 2, &witness);
    ASSERT_NE(nSilent, 0u);
    EXPECT_TRUE(PumpMessagesUntil([&] { return witness.Count() >= 3; }, 3000));
    pTimer->StopTimer(nSilent);
    EXPECT_EQ(TimerManager.TimersForTesting().at(pTimer).count(nSilent), 0u);
    EXPECT_EQ(pTimer->ModifyTimer(nHeard, 30), 1);
    pTimer->Release(0);
}

TEST_F(TimerServiceTest, StopAndModifyActOnlyOnTheComponentsOwnTimers) {
    ITimer* pA = NewTimerComponent();
    ITimer* pB = NewTimerComponent();
    CRecordingHandler handlerB;
    const uint32_t nIdA = pA->StartTimer(1000, 0, nullptr);
    const uint32_t nIdB = pB->StartTimer(20, 0, &handlerB);
    ASSERT_TRUE(nIdA && nIdB);

    pA->StopTimer(nIdB);
    EXPECT_EQ(pA->ModifyTimer(nIdB, 10), 0);
    EXPECT_EQ(pA->ModifyTimer(987654, 10), 0);  // an ID nobody holds
    pA->StopTimer(987654);
    EXPECT_EQ(pB->ModifyTimer(nIdB, 25), 1);
    EXPECT_TRUE(PumpMessagesUntil([&] { return handlerB.CountFor(nIdB) >= 2; }, 3000));

    ITimer* pNoTimers = NewTimerComponent();
    EXPECT_EQ(pNoTimers->ModifyTimer(nIdA, 10), 0);  // no owner entry at all
    pNoTimers->StopTimer(nIdA);
    pNoTimers->StopAllTimers();
    EXPECT_EQ(TimerManager.TimersForTesting().count(pNoTimers), 0u);
    pNoTimers->Release(0);
    pA->Release(0);
    pB->Release(0);
}

TEST_F(TimerServiceTest, AHandlerMayStopItsOwnTimerInsideOnTimer) {
    ITimer* pTimer = NewTimerComponent();
    CRecordingHandler handler;
    handler.m_onTimer = [&](uint32_t nId) { pTimer->StopTimer(nId); };
    const uint32_t nId = pTimer->StartTimer(10, 5, &handler);
    PumpMessages(300);
    EXPECT_EQ(handler.CountFor(nId), 1u);
    pTimer->Release(0);
}

TEST_F(TimerServiceTest, ReleaseKillsTheComponentsTimers) {
    ITimer* pTimer = NewTimerComponent();
    CRecordingHandler handler;
    const uint32_t nId = pTimer->StartTimer(10, 5, &handler);
    ASSERT_TRUE(PumpMessagesUntil([&] { return handler.Count() > 0; }, 3000));
    pTimer->Release(0);
    const size_t nBefore = handler.Count();
    PumpMessages(150);
    EXPECT_EQ(handler.Count(), nBefore);
    EXPECT_EQ(handler.CountFor(nId), nBefore);
}

TEST_F(TimerServiceTest, TheSharedWindowGoesWithItsLastOwnerAndANewOneComesAfter) {
    ITimer* pA = NewTimerComponent();
    ITimer* pB = NewTimerComponent();
    ASSERT_NE(pA->StartTimer(1000, 0, nullptr), 0u);
    const uint32_t nIdB = pB->StartTimer(1000, 0, nullptr);
    const HWND hWindow = TimerManager.WindowForTesting();
    ASSERT_TRUE(IsWindow(hWindow));

    pA->Release(0);
    EXPECT_TRUE(IsWindow(hWindow));
    // An owner whose timers were all stopped one by one still keeps the window.
    pB->StopTimer(nIdB);
    IComponent* pC = CreateComponent(kTimerComponentId, 1);
    pC->Release(0);  // a component that never started a timer owns nothing
    EXPECT_TRUE(IsWindow(hWindow));
    EXPECT_NE(TimerManager.MessageWindowForTesting(), nullptr);

    pB->Release(0);
    EXPECT_FALSE(IsWindow(hWindow));
    EXPECT_EQ(TimerManager.MessageWindowForTesting(), nullptr);
    EXPECT_EQ(TimerManager.WindowForTesting(), nullptr);

    ITimer* pD = NewTimerComponent();
    CRecordingHandler handler;
    const uint32_t nIdD = pD->StartTimer(10, 3, &handler);
    EXPECT_EQ(nIdD, nIdB + 1);  // the counter goes on
    EXPECT_TRUE(IsWindow(TimerManager.WindowForTesting()));
    EXPECT_TRUE(PumpMessagesUntil([&] { return handler.Count() > 0; }, 3000));
    pD->Release(0);
}

TEST_F(TimerServiceTest, WithoutAWindowNoTimerStartsAndNoIdIsConsumed) {
    ITimer* pProbe = NewTimerComponent();
    const uint32_t nBefore = pProbe->StartTimer(1000, 0, nullptr);
    ASSERT_NE(nBefore, 0u);
    pProbe->Release(0);

    CDebugCapture capture;
    const struct {
        const char* szWhat;
        std::string config;
    } cases[] = {
        {"no factory library",
         m_dir.Write("broken.ini", "[361]\r\nDLL=Z:\\nowhere\\MirFact.dll\r\n")},
        {"no component 33", WriteTimerConfiguration(m_dir, "")},
        {"a window never made", WriteTimerConfiguration(m_dir, "MirelNullWnd.dll")},
    };
    for (const auto& c : cases) {
        SetDLLRegistry(c.config.c_str());
        ITimer* pTimer = NewTimerComponent();
        EXPECT_EQ(pTimer->StartTimer(10, 0, nullptr), 0u) << c.szWhat;
        EXPECT_EQ(pTimer->StartTimer(10, 0, nullptr), 0u) << c.szWhat;
        pTimer->Release(0);
    }
    SetDLLRegistry(WriteTimerConfiguration(m_dir, "MirelMsgWnd.dll").c_str());
    ITimer* pTimer = NewTimerComponent();
    EXPECT_EQ(pTimer->StartTimer(1000, 0, nullptr), nBefore + 1);
    pTimer->Release(0);
}

// A window gone behind the manager's back takes its timers along: the next start drops their
// records with one line and obtains a fresh window, and the counter goes on.
TEST_F(TimerServiceTest, AWindowDestroyedBehindTheManagersBackIsReplacedByTheNextStart) {
    ITimer* pTimer = NewTimerComponent();
    const uint32_t nFirst = pTimer->StartTimer(1000, 0, nullptr);
    ASSERT_NE(nFirst, 0u);
    const HWND hGone = TimerManager.WindowForTesting();
    ASSERT_TRUE(DestroyWindow(hGone));
    CDebugCapture capture;
    CRecordingHandler handler;
    const uint32_t nNext = pTimer->StartTimer(10, 0, &handler);
    EXPECT_EQ(nNext, nFirst + 1);
    EXPECT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(pTimer->ModifyTimer(nFirst, 50), 0);  // its record went with the window
    EXPECT_NE(TimerManager.WindowForTesting(), hGone);
    EXPECT_TRUE(PumpMessagesUntil([&] { return handler.CountFor(nNext) > 0; }, 3000));
    pTimer->Release(0);
}

// A creation that failed leaves no component behind: the next start, here with a module that
// makes windows, tries again although the first component's owner still lives.
TEST_F(TimerServiceTest, AFailedWindowCreationIsTriedAgainByTheNextStart) {
    ITimer* pTimer = NewTimerComponent();
    SetDLLRegistry(WriteTimerConfiguration(m_dir, "MirelNullWnd.dll").c_str());
    EXPECT_EQ(pTimer->StartTimer(1000, 0, nullptr), 0u);
    EXPECT_EQ(TimerManager.MessageWindowForTesting(), nullptr);
    SetDLLRegistry(WriteTimerConfiguration(m_dir, "MirelMsgWnd.dll").c_str());
    EXPECT_NE(pTimer->StartTimer(1000, 0, nullptr), 0u);
    pTimer->Release(0);
}

UINT_PTR WINAPI RefuseSetTimerForWantOfMemory(HWND, UINT_PTR, UINT, TIMERPROC) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

// The system's refusal is the system's to report; the manager adds no line of its own.
TEST_F(TimerServiceTest, ASetTimerRefusedForWantOfMemoryPrintsNothing) {
    ITimer* pTimer = NewTimerComponent();
    ASSERT_NE(pTimer->StartTimer(1000, 0, nullptr), 0u);
    TimerPlatformCalls refusing = CTimerManager::RealPlatformCalls();
    refusing.pfnSetTimer = RefuseSetTimerForWantOfMemory;
    TimerManager.SetPlatformCalls(refusing);
    CDebugCapture capture;
    EXPECT_EQ(pTimer->StartTimer(1000, 0, nullptr), 0u);
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
    pTimer->Release(0);
}

UINT_PTR WINAPI RefuseSetTimer(HWND, UINT_PTR, UINT, TIMERPROC) {
    return 0;
}

TEST_F(TimerServiceTest, ARefusedSetTimerConsumesItsIdAndRecordsNothing) {
    ITimer* pTimer = NewTimerComponent();
    const uint32_t nFirst = pTimer->StartTimer(1000, 0, nullptr);
    TimerPlatformCalls refusing = CTimerManager::RealPlatformCalls();
    refusing.pfnSetTimer = RefuseSetTimer;
    TimerManager.SetPlatformCalls(refusing);
    EXPECT_EQ(pTimer->StartTimer(1000, 0, nullptr), 0u);
    EXPECT_EQ(pTimer->ModifyTimer(nFirst, 10), 0);
    TimerManager.SetPlatformCalls(CTimerManager::RealPlatformCalls());
    EXPECT_EQ(TimerManager.TimersForTesting().at(pTimer).size(), 1u);
    EXPECT_EQ(pTimer->StartTimer(1000, 0, nullptr), nFirst + 2);
    pTimer->Release(0);
}

TEST_F(TimerServiceTest, TheCounterSkipsZeroAndLiveIdsAfterItWraps) {
    ITimer* pTimer = NewTimerComponent();
    TimerManager.SetNextTimerIdForTesting(1);
    EXPECT_EQ(pTimer->StartTimer(5000, 0, nullptr), 1u);  // still running when the counter wraps
    TimerManager.SetNextTimerIdForTesting(0xFFFFFFFEu);
    EXPECT_EQ(pTimer->StartTimer(5000, 0, nullptr), 0xFFFFFFFEu);
    EXPECT_EQ(pTimer->StartTimer(5000, 0, nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(pTimer->StartTimer(5000, 0, nullptr), 2u);  // 0 and the running 1 are skipped
    pTimer->Release(0);
}

TEST_F(TimerServiceTest, MessagesOfAnotherKindOrWindowAreIgnored) {
    ITimer* pTimer = NewTimerComponent();
    CRecordingHandler handler;
    const uint32_t nId = pTimer->StartTimer(100000, 9, &handler);
    const HWND hWindow = TimerManager.WindowForTesting();
    IMessageSink* pSink = &TimerManager;
    EXPECT_EQ(pSink->OnWindowMessage(hWindow, WM_USER, nId, 0, 0), 0);
    EXPECT_EQ(pSink->OnWindowMessage(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x5678)),
                                     WM_TIMER, nId, 0, 0),
              0);
    EXPECT_EQ(pSink->OnWindowMessage(hWindow, WM_TIMER, nId + 1000, 0, 0), 0);
    EXPECT_TRUE(handler.Count() == 0);
    EXPECT_EQ(pSink->OnWindowMessage(hWindow, WM_TIMER, nId, 0, 0), 0);
    EXPECT_EQ(handler.Calls(), (std::vector<std::pair<uint32_t, int32_t>>{{nId, 9}}));
    EXPECT_EQ(pSink->GetSinkVersion(), 1);
    pTimer->Release(0);
}

TEST_F(TimerServiceTest, AHandlerMayReleaseTheLastComponentInsideOnTimer) {
    ITimer* pTimer = NewTimerComponent();
    CRecordingHandler handler;
    handler.m_onTimer = [&](uint32_t) {
        if (pTimer != nullptr) {
            pTimer->Release(0);
            pTimer = nullptr;
        }
    };
    ASSERT_NE(pTimer->StartTimer(10, 0, &handler), 0u);
    const HWND hWindow = TimerManager.WindowForTesting();
    EXPECT_TRUE(PumpMessagesUntil([&] { return pTimer == nullptr; }, 3000));
    PumpMessages(50);
    EXPECT_EQ(handler.Count(), 1u);
    EXPECT_FALSE(IsWindow(hWindow));
    EXPECT_EQ(TimerManager.MessageWindowForTesting(), nullptr);
}

std::vector<uint32_t> KilledIds;
BOOL WINAPI RecordKillTimer(HWND hWnd, UINT_PTR nId) {
    KilledIds.push_back(static_cast<uint32_t>(nId));
    return KillTimer(hWnd, nId);
}

TEST_F(TimerServiceTest, AfterTheCounterWrapsDispatchAndStopAllStillFollowTheIds) {
    ITimer* pTimer = NewTimerComponent();
    CRecordingHandler handler;
    TimerManager.SetNextTimerIdForTesting(0xFFFFFFFEu);
    const uint32_t nHigh = pTimer->StartTimer(100000, 1, &handler);
    const uint32_t nHigher = pTimer->StartTimer(100000, 2, &handler);
    const uint32_t nLow = pTimer->StartTimer(100000, 3, &handler);
    ASSERT_EQ(nHigh, 0xFFFFFFFEu);
    ASSERT_LT(nLow, nHigh);
    IMessageSink* pSink = &TimerManager;
    const HWND hWindow = TimerManager.WindowForTesting();
    for (uint32_t nId : {nLow, nHigher, nHigh})
        pSink->OnWindowMessage(hWindow, WM_TIMER, nId, 0, 0);
    EXPECT_EQ(handler.Calls(),
              (std::vector<std::pair<uint32_t, int32_t>>{{nLow, 3}, {nHigher, 2}, {nHigh, 1}}));

    TimerPlatformCalls recording = CTimerManager::RealPlatformCalls();
    recording.pfnKillTimer = RecordKillTimer;
    TimerManager.SetPlatformCalls(recording);
    KilledIds.clear();
    pTimer->StopAllTimers();
    TimerManager.SetPlatformCalls(CTimerManager::RealPlatformCalls());
    EXPECT_EQ(KilledIds, (std::vector<uint32_t>{nLow, nHigh, nHigher}));
    pTimer->Release(0);
}

}  // namespace
