// The timer service used from several threads at once, while the window's thread dispatches:
// workers that create and release components under the window thread's feet, workers that start
// and stop timers, a release that must wait for its handler still running, and running out of
// memory in StartTimer. The program carries the timer module's code; handlers always run on the
// thread that owns the hidden window (here the test's main thread), which pumps on a driven clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <pthread.h>
#endif

#include "mirel/exports.h"
#include "module/live_registry.h"
#include "platform/windows_api.h"
#include "platform/debug_capture.h"
#include "tests/support/failing_allocator.h"
#include "tests/support/message_pump.h"
#include "tests/support/timer_test_support.h"
#include "timer/timer_manager.h"

namespace {

class TimerThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        MirelSetDllSafe(1);
        SetFactoryHandle(nullptr);
        SetDLLRegistry(WriteTimerConfiguration(m_dir, "MirelMsgWnd.dll").c_str());
        m_dwMainThread = GetCurrentThreadId();
    }
    void TearDown() override {
        TimerManager.SetPlatformCalls(CTimerManager::RealPlatformCalls());
        PumpMessages(20);  // lets a window released from a worker go
        EXPECT_EQ(LiveRegistry.size(), 0u);
        EXPECT_TRUE(TimerManager.TimersForTesting().empty());
        EXPECT_EQ(m_capture.Text().find("not exist"), std::string::npos) << m_capture.Text();
        SetDLLRegistry(nullptr);
    }

    // Holds the calling handler until the flag is set, for at most five seconds; true when it was.
    static bool HoldUntil(const std::atomic<bool>& bFlag) {
        const DWORD dwStart = GetTickCount();
        while (!bFlag && GetTickCount() - dwStart < 5000)
            Sleep(1);
        return bFlag;
    }

    // Runs the body on nWorkers threads until stop is set, while the main thread runs mainLoop.
    void WithWorkers(int nWorkers, const std::function<void(std::atomic<bool>&)>& worker,
                     const std::function<void()>& mainLoop) {
        std::atomic<bool> bStop{false};
        std::atomic<int> nDone{0};
        std::vector<std::thread> workers;
        for (int i = 0; i < nWorkers; ++i) {
            workers.emplace_back([&] {
                worker(bStop);
                ++nDone;
            });
        }
        mainLoop();
        bStop = true;
        // Pumping meanwhile: a worker's release may ask this thread to destroy the window.
        PumpMessagesUntil([&] { return nDone == nWorkers; }, 30000);
        for (std::thread& t : workers)
            t.join();
    }

    CTempDir m_dir;
    CDebugCapture m_capture;
    CDrivenClock m_clock;
    DWORD m_dwMainThread = 0;
};

// The main thread starts a timer, waits for it and stops it, round after round for a second and
// a half of real time, and so obtains and gives up the shared window again and again; two
// workers create and release components meanwhile, each release asking whether the window is
// still needed.
TEST_F(TimerThreadsTest, ReleasesOnWorkersNeverTakeTheWindowFromItsThread) {
    int nRounds = 0, nNeverFired = 0, nRefused = 0;
    WithWorkers(
        2,
        [](std::atomic<bool>& bStop) {
            while (!bStop) {
                ITimer* p = NewTimerComponent();
                p->Release(0);
            }
        },
        [&] {
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
            while (std::chrono::steady_clock::now() < end) {
                ITimer* pTimer = NewTimerComponent();
                CRecordingHandler handler;
                const uint32_t nId = pTimer->StartTimer(10, nRounds, &handler);
                if (nId == 0) {
                    ++nRefused;
                } else if (!PumpMessagesUntil([&] { return handler.Count() > 0; }, 3000)) {
                    ++nNeverFired;
                }
                pTimer->Release(0);
                ++nRounds;
            }
        });
    EXPECT_GT(nRounds, 0);
    EXPECT_EQ(nRefused, 0);
    EXPECT_EQ(nNeverFired, 0);
}

// The same race, forced: the main thread's StartTimer is setting its timer on the window and a
// worker releases the window's last other owner right then. The window stays, and the new timer
// fires.
std::atomic<int> WindowChecks{0};
std::atomic<bool> WorkerReleased{false};
UINT_PTR WINAPI SetTimerWaitingForTheWorker(HWND hWnd, UINT_PTR nId, UINT nElapse, TIMERPROC pfn) {
    if (WindowChecks++ == 0) {
        for (int i = 0; i < 300 && !WorkerReleased; ++i)
            Sleep(1);
    }
    return SetTimer(hWnd, nId, nElapse, pfn);
}

TEST_F(TimerThreadsTest, AStartBetweenItsWindowCheckAndItsRecordKeepsTheWindow) {
    ITimer* pLastOwner = NewTimerComponent();
    ASSERT_NE(pLastOwner->StartTimer(100000, 0, nullptr), 0u);
    ITimer* pTimer = NewTimerComponent();
    TimerPlatformCalls calls = CTimerManager::RealPlatformCalls();
    calls.pfnSetTimer = SetTimerWaitingForTheWorker;
    TimerManager.SetPlatformCalls(calls);
    std::thread worker([&] {
        while (WindowChecks == 0)
            Sleep(1);
        pLastOwner->Release(0);
        WorkerReleased = true;
    });
    CRecordingHandler handler;
    const uint32_t nId = pTimer->StartTimer(10, 0, &handler);
    worker.join();
    TimerManager.SetPlatformCalls(CTimerManager::RealPlatformCalls());
    EXPECT_NE(nId, 0u);
    EXPECT_TRUE(PumpMessagesUntil([&] { return handler.CountFor(nId) > 0; }, 3000));
    pTimer->Release(0);
}

// Workers start and stop timers of their own components while the main thread dispatches, a few
// hundred times. Every timer fires, always on the main thread, and never once its StopTimer has
// returned.
TEST_F(TimerThreadsTest, WorkersStartAndStopTimersWhileTheWindowThreadDispatches) {
    ITimer* pMain = NewTimerComponent();
    CRecordingHandler keepAlive;
    ASSERT_NE(pMain->StartTimer(10, 0, &keepAlive), 0u);

    constexpr size_t kSlots = 1 << 16;
    std::vector<std::atomic<bool>> stopped(kSlots);
    std::atomic<int> nLateCalls{0}, nWrongThread{0}, nNeverFired{0}, nStarted{0};
    CRecordingHandler shared;
    shared.m_onTimer = [&](uint32_t nId) {
        nLateCalls += stopped[nId % kSlots] ? 1 : 0;
        nWrongThread += GetCurrentThreadId() != m_dwMainThread ? 1 : 0;
    };
    WithWorkers(
        2,
        [&](std::atomic<bool>& bStop) {
            ITimer* pOwn = NewTimerComponent();
            while (!bStop) {
                const uint32_t nId = pOwn->StartTimer(10, 1, &shared);
                if (nId == 0)
                    continue;
                ++nStarted;
                stopped[nId % kSlots] = false;
                const DWORD dwStart = GetTickCount();
                while (shared.CountFor(nId) == 0 && GetTickCount() - dwStart < 3000)
                    Sleep(1);
                nNeverFired += shared.CountFor(nId) == 0 ? 1 : 0;
                pOwn->StopTimer(nId);
                stopped[nId % kSlots] = true;
            }
            pOwn->Release(0);
        },
        [&] { PumpMessagesUntil([&] { return nStarted >= 200; }, 30000); });
    EXPECT_GE(nStarted.load(), 200);
    EXPECT_EQ(nNeverFired.load(), 0);
    EXPECT_EQ(nLateCalls.load(), 0);
    EXPECT_EQ(nWrongThread.load(), 0);
    pMain->Release(0);
}

// A release on another thread returns only once the component's handler, running on the window's
// thread, has returned: the component and the handler may go right after it.
TEST_F(TimerThreadsTest, AReleaseOnAWorkerWaitsForItsRunningHandler) {
    ITimer* pTimer = NewTimerComponent();
    std::atomic<bool> bEntered{false}, bHandlerDone{false}, bDoneAtRelease{false};
    CRecordingHandler handler;
    handler.m_onTimer = [&](uint32_t nId) {
        if (bEntered.exchange(true))
            return;
        Sleep(200);
        bHandlerDone = true;
        (void)nId;
    };
    ASSERT_NE(pTimer->StartTimer(10, 0, &handler), 0u);
    std::thread worker([&] {
        while (!bEntered)
            Sleep(1);
        pTimer->Release(0);
        bDoneAtRelease = bHandlerDone.load();
    });
    PumpMessagesUntil([&] { return bHandlerDone.load(); }, 3000);
    worker.join();
    EXPECT_TRUE(bDoneAtRelease);
}

TEST_F(TimerThreadsTest, StartTimerOutOfMemoryGivesZeroOneLineAndNoOwner) {
    ITimer* pWarm = NewTimerComponent();
    // Grows the table and the platform's timer store well ahead, so that of the starts below only
    // those of new owners that find the owners' arrays full need memory.
    std::vector<uint32_t> ids;
    for (int i = 0; i < 4096; ++i)
        ids.push_back(pWarm->StartTimer(100000, 0, nullptr));
    for (uint32_t nId : ids)
        pWarm->StopTimer(nId);
    // New owners start a timer each, with no memory to be had, until one needs some.
    std::vector<ITimer*> owners;
    uint32_t nId = 1;
    while (nId != 0 && owners.size() < 2048) {
        owners.push_back(NewTimerComponent());
        m_capture.Clear();
        CFailingAllocations failing;
        nId = owners.back()->StartTimer(100000, 0, nullptr);
    }
    ITimer* pNew = owners.back();
    ASSERT_EQ(nId, 0u);
    ASSERT_EQ(m_capture.Lines().size(), 1u);
    EXPECT_EQ(m_capture.Lines()[0].rfind("Mirel[Error]", 0), 0u);
    EXPECT_EQ(TimerManager.TimersForTesting().count(pNew), 0u);
    EXPECT_NE(pNew->StartTimer(100000, 0, nullptr), 0u);
    for (ITimer* p : owners)
        p->Release(0);
    pWarm->Release(0);
}

TEST_F(TimerThreadsTest, AnExceptionFromOnTimerIsDroppedWithOneLine) {
    ITimer* pTimer = NewTimerComponent();
    CRecordingHandler handler;
    handler.m_onTimer = [](uint32_t) { throw 7; };
    const uint32_t nId = pTimer->StartTimer(100000, 0, &handler);
    IMessageSink* pSink = &TimerManager;
    m_capture.Clear();
    EXPECT_EQ(pSink->OnWindowMessage(TimerManager.WindowForTesting(), WM_TIMER, nId, 0, 0), 0);
    EXPECT_EQ(handler.Count(), 1u);
    ASSERT_EQ(m_capture.Lines().size(), 1u);
    EXPECT_EQ(m_capture.Lines()[0].rfind("Mirel[Error]", 0), 0u);
    pTimer->Release(0);
}

// Two threads start the first timers at once. The first creates the window and goes on only once
// the second waits for it (or, were it not to wait, creates a window of its own): one window
// serves both, filled in through the manager's own handle member.
std::atomic<int> WindowCreations{0};
std::atomic<bool> HandleInsideManager{false};
int32_t CreateOnceTheOtherStartWaits(IMessageWindow* pWindow, HWND* phWnd, IMessageSink* pSink) {
    const char* pHandle = reinterpret_cast<const char*>(phWnd);
    const char* pManager = reinterpret_cast<const char*>(&TimerManager);
    HandleInsideManager = pHandle >= pManager && pHandle < pManager + sizeof(TimerManager);
    if (++WindowCreations == 1) {
        while (TimerManager.WindowWaitersForTesting() == 0 && WindowCreations == 1)
            std::this_thread::yield();
    }
    return pWindow->CreateMessageWindow(phWnd, pSink);
}

TEST_F(TimerThreadsTest, TwoFirstStartsAtOnceShareOneWindowMadeIntoTheManagersHandle) {
    ASSERT_EQ(TimerManager.WindowForTesting(), nullptr);
    TimerPlatformCalls calls = CTimerManager::RealPlatformCalls();
    calls.pfnCreateMessageWindow = CreateOnceTheOtherStartWaits;
    TimerManager.SetPlatformCalls(calls);
    ITimer* pMain = NewTimerComponent();
    ITimer* pWorker = NewTimerComponent();
    CRecordingHandler handler;
    uint32_t nWorkerId = 0;
    std::thread worker([&] {
        while (WindowCreations == 0)
            std::this_thread::yield();
        nWorkerId = pWorker->StartTimer(10, 2, &handler);
    });
    const uint32_t nMainId = pMain->StartTimer(10, 1, &handler);
    worker.join();
    EXPECT_EQ(WindowCreations.load(), 1);
    EXPECT_TRUE(HandleInsideManager);
    ASSERT_NE(nMainId, 0u);
    ASSERT_NE(nWorkerId, 0u);
    EXPECT_TRUE(PumpMessagesUntil(
        [&] { return handler.CountFor(nMainId) > 0 && handler.CountFor(nWorkerId) > 0; }, 3000));
    pMain->Release(0);
    pWorker->Release(0);
}

// The window's thread ends while a timer of another component runs on it. The next start, on this
// thread, drops the dead timer's record with one line and obtains a fresh window here.
TEST_F(TimerThreadsTest, AfterTheWindowsThreadEndsTheNextStartObtainsAFreshWindow) {
    ITimer* pOld = NewTimerComponent();
    uint32_t nOldId = 0;
    std::thread([&] { nOldId = pOld->StartTimer(10, 0, nullptr); }).join();
    ASSERT_NE(nOldId, 0u);
    ITimer* pNew = NewTimerComponent();
    CRecordingHandler handler;
    m_capture.Clear();
    const uint32_t nId = pNew->StartTimer(10, 0, &handler);
    ASSERT_NE(nId, 0u);
    EXPECT_EQ(m_capture.Lines().size(), 1u) << m_capture.Text();
    EXPECT_EQ(TimerManager.TimersForTesting().count(pOld), 0u);
    EXPECT_TRUE(PumpMessagesUntil([&] { return handler.CountFor(nId) > 0; }, 3000));
    pOld->Release(0);
    pNew->Release(0);
}

// A stop that stops nothing returns at once, though a handler of the component is running: here
// StopTimer(0), and StopTimer of the running timer, which its own handler has stopped already.
TEST_F(TimerThreadsTest, AStopThatStopsNothingDoesNotWaitForARunningHandler) {
    ITimer* pTimer = NewTimerComponent();
    std::atomic<bool> bEntered{false}, bStopsReturned{false};
    bool bReturnedWhileRunning = false;
    uint32_t nId = 0;
    CRecordingHandler handler;
    handler.m_onTimer = [&](uint32_t) {
        pTimer->StopTimer(nId);
        bEntered = true;
        bReturnedWhileRunning = HoldUntil(bStopsReturned);
    };
    nId = pTimer->StartTimer(10, 0, &handler);
    std::thread worker([&] {
        while (!bEntered)
            Sleep(1);
        pTimer->StopTimer(0);
        pTimer->StopTimer(nId);
        bStopsReturned = true;
    });
    PumpMessagesUntil([&] { return bStopsReturned.load(); }, 10000);
    worker.join();
    EXPECT_TRUE(bReturnedWhileRunning);
    pTimer->Release(0);
}

// MirelDllFreeMap on a worker while the component's handler runs on the window's thread: it does
// not wait, and the component stays alive and registered until the handler has returned, then
// ends. The handler may still call into it meanwhile.
TEST_F(TimerThreadsTest, FreeMapUnderARunningHandlerEndsTheComponentWhenTheHandlerReturns) {
    ITimer* pTimer = NewTimerComponent();
    pTimer->SetAutoFree(1);
    std::atomic<bool> bEntered{false}, bFreeMapReturned{false};
    bool bHeldWhileRunning = false;
    uint32_t nId = 0;
    CRecordingHandler handler;
    handler.m_onTimer = [&](uint32_t) {
        if (bEntered.exchange(true))
            return;
        HoldUntil(bFreeMapReturned);
        bHeldWhileRunning = LiveComponentCount() == 1;
        if (bHeldWhileRunning)
            pTimer->StopTimer(nId);  // a freed object, if the release had not waited for this
    };
    nId = pTimer->StartTimer(10, 0, &handler);
    std::thread worker([&] {
        while (!bEntered)
            Sleep(1);
        MirelDllFreeMap();
        bFreeMapReturned = true;
    });
    EXPECT_TRUE(
        PumpMessagesUntil([&] { return bFreeMapReturned && LiveComponentCount() == 0; }, 10000));
    worker.join();
    EXPECT_TRUE(bHeldWhileRunning);
}

#ifndef _WIN32
// pthread_cancel of the window's thread while OnTimer runs: the forced unwind passes the
// dispatch (the runtime would abort the process if it were swallowed), the dispatch ends with
// it, and a release on another thread afterwards does not wait for it.
TEST_F(TimerThreadsTest, CancellingTheWindowThreadInsideOnTimerUnwindsThroughTheDispatch) {
    ITimer* pTimer = NewTimerComponent();
    std::atomic<bool> bEntered{false};
    CRecordingHandler handler;
    handler.m_onTimer = [&](uint32_t) {
        bEntered = true;
        for (;;) {
            pthread_testcancel();
            Sleep(1);
        }
    };
    std::thread window([&] {
        // This thread obtains the window; its dispatch is called as the window procedure would.
        const uint32_t nId = pTimer->StartTimer(100000, 0, &handler);
        IMessageSink* pSink = &TimerManager;
        pSink->OnWindowMessage(TimerManager.WindowForTesting(), WM_TIMER, nId, 0, 1);
    });
    while (!bEntered)
        Sleep(1);
    pthread_cancel(window.native_handle());
    window.join();
    pTimer->Release(0);
    EXPECT_EQ(handler.Count(), 1u);
}
#endif

}  // namespace
