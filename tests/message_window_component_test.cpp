// The message-window component (ID 33) as the timer service and other clients use it, created
// through the factory library from a configuration file: the window and its thread, every message
// reaching the sink with its window, timers set on the window, nested deliveries, and the
// window's end: on release, on a release from inside a delivery or from another thread, and when
// someone else destroys it.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "framework/message_window/window_table.h"
#include "mirel/exports.h"
#include "mirel/message_window.h"
#include "platform/debug_capture.h"
#include "tests/support/factory_library_host.h"
#include "tests/support/message_pump.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr char kModuleName[] = "MirelMsgWnd.dll";
constexpr unsigned kGenerousMs = 3000;

struct Delivery {
    HWND hWnd;
    uint32_t uMsg;
    uintptr_t wParam;
    intptr_t lParam;
    int32_t nDepth;
};

class CRecordingSink : public IMessageSink {
public:
    int32_t GetSinkVersion() override { return 1; }
    int32_t OnWindowMessage(HWND hWnd, uint32_t uMsg, uintptr_t wParam, intptr_t lParam,
                            int32_t nDepth) override {
        const Delivery delivery{hWnd, uMsg, wParam, lParam, nDepth};
        m_deliveries.push_back(delivery);
        return m_onMessage ? m_onMessage(delivery) : 0;
    }
    // The message numbers and depths of the deliveries, in order, to compare with a table.
    std::vector<std::pair<uint32_t, int32_t>> Sequence() const {
        std::vector<std::pair<uint32_t, int32_t>> sequence;
        for (const Delivery& delivery : m_deliveries)
            sequence.emplace_back(delivery.uMsg, delivery.nDepth);
        return sequence;
    }
    size_t CountOf(uint32_t uMsg) const {
        size_t n = 0;
        for (const Delivery& delivery : m_deliveries)
            n += delivery.uMsg == uMsg ? 1 : 0;
        return n;
    }

    std::vector<Delivery> m_deliveries;
    std::function<int32_t(const Delivery&)> m_onMessage;
};

// The module's own answer to whether it holds a live component.
int32_t ModuleCanUnloadNow() {
    auto pfnCanUnload = reinterpret_cast<MirelDllCanUnloadNowFn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA(kModuleName), "MirelDllCanUnloadNow")));
    return pfnCanUnload != nullptr ? pfnCanUnload() : -1;
}

// Takes one message of this thread's queue and returns what the window procedure answered.
bool DispatchOne(LRESULT* pResult) {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        return false;
    }
    *pResult = DispatchMessageA(&msg);
    return true;
}

class MessageWindowComponentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_host.Loaded());
        m_config =
            m_dir.Write("Mirel.ini", "[Components]\r\n33=" + BinaryFile(kModuleName) + "\r\n");
    }
    void TearDown() override {
        PumpMessages(10);
        EXPECT_EQ(m_host.UnloadIdleModules(), 1) << "a component of the module is still alive";
    }

    IMessageWindow* NewComponent() {
        return static_cast<IMessageWindow*>(
            m_host.Factory()->CreateComponentByID(kMessageWindowComponentId, m_config.c_str()));
    }

    CFactoryLibraryHost m_host;
    CTempDir m_dir;
    std::string m_config;
    CDrivenClock m_clock;
};

TEST_F(MessageWindowComponentTest, MakesAWindowOfTheCallingThreadAndDestroysItOnRelease) {
    IMessageWindow* pWindow = NewComponent();
    ASSERT_NE(pWindow, nullptr);
    EXPECT_EQ(pWindow->GetComponentID(), kMessageWindowComponentId);
    CRecordingSink sink;
    HWND hWnd = nullptr;
    EXPECT_EQ(pWindow->CreateMessageWindow(&hWnd, &sink), 1);
    ASSERT_NE(hWnd, nullptr);
    EXPECT_TRUE(IsWindow(hWnd));
    EXPECT_EQ(GetWindowThreadProcessId(hWnd, nullptr), GetCurrentThreadId());
    // The messages of the creation itself are not passed on.
    EXPECT_TRUE(sink.m_deliveries.empty());

    pWindow->Release(0);
    EXPECT_FALSE(IsWindow(hWnd));
    // Nothing of the window's end reaches a sink whose component is gone.
    EXPECT_TRUE(sink.m_deliveries.empty());
    EXPECT_EQ(ModuleCanUnloadNow(), 1);
}

TEST_F(MessageWindowComponentTest, EveryMessageReachesTheSinkWithItsWindow) {
    IMessageWindow* pWindow = NewComponent();
    ASSERT_NE(pWindow, nullptr);
    CRecordingSink sink;
    sink.m_onMessage = [](const Delivery& delivery) {
        return static_cast<int32_t>(delivery.wParam * 2);
    };
    HWND hWnd = nullptr;
    ASSERT_EQ(pWindow->CreateMessageWindow(&hWnd, &sink), 1);

    const struct {
        UINT uMsg;
        WPARAM wParam;
        LPARAM lParam;
    } posted[] = {
        {WM_USER + 1, 10, 20},
        {WM_USER + 2, 11, -21},
        {WM_NULL, 0, 0},
        // The number of the module's own destroy request, but not its parameters: a client's.
        {kDestroyRequestMessage, 12, kDestroyRequestTag},
    };
    for (const auto& p : posted) {
        ASSERT_TRUE(PostMessageA(hWnd, p.uMsg, p.wParam, p.lParam));
    }
    for (const auto& p : posted) {
        LRESULT lResult = -1;
        ASSERT_TRUE(DispatchOne(&lResult));
        EXPECT_EQ(lResult, static_cast<LRESULT>(p.wParam * 2));  // the sink's answer
    }
    ASSERT_EQ(sink.m_deliveries.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(sink.m_deliveries[i].hWnd, hWnd);
        EXPECT_EQ(sink.m_deliveries[i].uMsg, posted[i].uMsg);
        EXPECT_EQ(sink.m_deliveries[i].wParam, posted[i].wParam);
        EXPECT_EQ(sink.m_deliveries[i].lParam, posted[i].lParam);
        EXPECT_EQ(sink.m_deliveries[i].nDepth, 1);
    }
    EXPECT_TRUE(IsWindow(hWnd));
    pWindow->Release(0);
}

TEST_F(MessageWindowComponentTest, TimersSetOnTheWindowReachTheSink) {
    IMessageWindow* pWindow = NewComponent();
    ASSERT_NE(pWindow, nullptr);
    CRecordingSink sink;
    HWND hWnd = nullptr;
    ASSERT_EQ(pWindow->CreateMessageWindow(&hWnd, &sink), 1);

    ASSERT_NE(SetTimer(hWnd, 7, 10, nullptr), 0u);
    EXPECT_TRUE(PumpMessagesUntil([&] { return sink.CountOf(WM_TIMER) >= 3; }, kGenerousMs));
    KillTimer(hWnd, 7);
    for (const Delivery& delivery : sink.m_deliveries) {
        EXPECT_EQ(delivery.hWnd, hWnd);
        EXPECT_EQ(delivery.uMsg, static_cast<uint32_t>(WM_TIMER));
        EXPECT_EQ(delivery.wParam, 7u);
    }
    pWindow->Release(0);
}

TEST_F(MessageWindowComponentTest, NestedDeliveryIsReportedWithItsDepth) {
    IMessageWindow* pWindow = NewComponent();
    ASSERT_NE(pWindow, nullptr);
    CRecordingSink sink;
    HWND hWnd = nullptr;
    ASSERT_EQ(pWindow->CreateMessageWindow(&hWnd, &sink), 1);
    sink.m_onMessage = [&](const Delivery& delivery) {
        if (delivery.uMsg == WM_USER + 1) {
            // A loop run from inside the handler delivers the next message nested.
            PostMessageA(hWnd, WM_USER + 2, 0, 0);
            LRESULT lResult = 0;
            DispatchOne(&lResult);
        }
        return 0;
    };
    ASSERT_TRUE(PostMessageA(hWnd, WM_USER + 1, 0, 0));
    PumpMessagesUntil([&] { return sink.m_deliveries.size() >= 2; }, kGenerousMs);
    const std::vector<std::pair<uint32_t, int32_t>> expected = {{WM_USER + 1, 1}, {WM_USER + 2, 2}};
    EXPECT_EQ(sink.Sequence(), expected);
    pWindow->Release(0);
}

TEST_F(MessageWindowComponentTest, ReleaseFromInsideADeliveryEndsTheWindowAfterIt) {
    IMessageWindow* pWindow = NewComponent();
    ASSERT_NE(pWindow, nullptr);
    CRecordingSink sink;
    HWND hWnd = nullptr;
    ASSERT_EQ(pWindow->CreateMessageWindow(&hWnd, &sink), 1);
    bool bAliveInsideHandler = false;
    int32_t nCanUnloadInsideHandler = -1;
    sink.m_onMessage = [&](const Delivery& delivery) {
        if (delivery.uMsg == WM_TIMER && pWindow != nullptr) {
            // As a timer client does when its handler releases the last timer component.
            pWindow->Release(0);
            pWindow = nullptr;
            bAliveInsideHandler = IsWindow(hWnd) != 0;
            nCanUnloadInsideHandler = ModuleCanUnloadNow();
            PostMessageA(hWnd, WM_USER + 9, 0, 0);
        }
        return 0;
    };
    ASSERT_NE(SetTimer(hWnd, 3, 10, nullptr), 0u);
    EXPECT_TRUE(PumpMessagesUntil([&] { return !IsWindow(hWnd); }, kGenerousMs));
    PumpMessages(50);

    // The window outlived the release until the delivery returned, and the component stayed
    // registered meanwhile; afterwards both are gone and nothing more reached the sink.
    EXPECT_TRUE(bAliveInsideHandler);
    EXPECT_EQ(nCanUnloadInsideHandler, 0);
    EXPECT_FALSE(IsWindow(hWnd));
    EXPECT_EQ(ModuleCanUnloadNow(), 1);
    ASSERT_EQ(sink.m_deliveries.size(), 1u);
    EXPECT_EQ(sink.m_deliveries[0].uMsg, static_cast<uint32_t>(WM_TIMER));
}

TEST_F(MessageWindowComponentTest, ReleaseFromAnotherThreadLetsTheWindowsThreadEndIt) {
    IMessageWindow* pWindow = NewComponent();
    ASSERT_NE(pWindow, nullptr);
    CRecordingSink sink;
    std::promise<HWND> created;
    std::promise<void> go;
    std::shared_future<void> goSignal = go.get_future().share();
    std::atomic<bool> bGone{false};
    std::thread owner([&] {
        HWND hWnd = nullptr;
        pWindow->CreateMessageWindow(&hWnd, &sink);
        created.set_value(hWnd);
        goSignal.wait();
        bGone = PumpMessagesUntil([&] { return !IsWindow(hWnd); }, kGenerousMs);
    });
    HWND hWnd = created.get_future().get();
    ASSERT_NE(hWnd, nullptr);

    pWindow->Release(0);
    // The window's thread has not run its loop yet: the window and the component are still there.
    EXPECT_TRUE(IsWindow(hWnd));
    EXPECT_EQ(ModuleCanUnloadNow(), 0);

    go.set_value();
    owner.join();
    EXPECT_TRUE(bGone);
    EXPECT_FALSE(IsWindow(hWnd));
    EXPECT_EQ(ModuleCanUnloadNow(), 1);
    EXPECT_TRUE(sink.m_deliveries.empty());
}

TEST_F(MessageWindowComponentTest, SecondWindowIsRefusedAndTheFirstKeepsWorking) {
    IMessageWindow* pWindow = NewComponent();
    ASSERT_NE(pWindow, nullptr);
    CRecordingSink first;
    CRecordingSink second;
    HWND hFirst = nullptr;
    ASSERT_EQ(pWindow->CreateMessageWindow(&hFirst, &first), 1);
    HWND hSecond = reinterpret_cast<HWND>(static_cast<uintptr_t>(1));
    {
        CDebugCapture capture;
        EXPECT_EQ(pWindow->CreateMessageWindow(&hSecond, &second), 0);
        EXPECT_EQ(capture.Lines(), std::vector<std::string>{"MirelMsgWnd: the component already "
                                                            "has a window; one window per "
                                                            "component\n"});
        EXPECT_EQ(pWindow->CreateMessageWindow(nullptr, &second), 0);
        EXPECT_EQ(capture.Lines().size(), 2u);
    }
    EXPECT_EQ(hSecond, nullptr);

    ASSERT_TRUE(PostMessageA(hFirst, WM_USER + 5, 0, 0));
    EXPECT_TRUE(PumpMessagesUntil([&] { return first.CountOf(WM_USER + 5) == 1; }, kGenerousMs));
    EXPECT_TRUE(second.m_deliveries.empty());
    pWindow->Release(0);
    EXPECT_FALSE(IsWindow(hFirst));
}

TEST_F(MessageWindowComponentTest, WindowDestroyedByItsThreadLeavesTheComponentSound) {
    IMessageWindow* pWindow = NewComponent();
    ASSERT_NE(pWindow, nullptr);
    CRecordingSink sink;
    HWND hWnd = nullptr;
    ASSERT_EQ(pWindow->CreateMessageWindow(&hWnd, &sink), 1);

    ASSERT_TRUE(DestroyWindow(hWnd));
    // The window's last two messages reach the sink; nothing follows them.
    const size_t nDelivered = sink.m_deliveries.size();
    ASSERT_GE(nDelivered, 2u);
    EXPECT_EQ(sink.m_deliveries[nDelivered - 2].uMsg, static_cast<uint32_t>(WM_DESTROY));
    EXPECT_EQ(sink.m_deliveries[nDelivered - 1].uMsg, static_cast<uint32_t>(WM_NCDESTROY));
    EXPECT_EQ(sink.m_deliveries[nDelivered - 1].hWnd, hWnd);

    // The component may make a new window once the old one is gone, and ends it as usual.
    CRecordingSink next;
    HWND hNext = nullptr;
    EXPECT_EQ(pWindow->CreateMessageWindow(&hNext, &next), 1);
    EXPECT_TRUE(IsWindow(hNext));
    pWindow->Release(0);
    EXPECT_FALSE(IsWindow(hNext));
    EXPECT_EQ(sink.m_deliveries.size(), nDelivered);
    EXPECT_TRUE(next.m_deliveries.empty());
}

// The window's thread stops dispatching, the component is released on another thread, then the
// window's thread ends: the window goes with it, and the release that waited for it finishes.
TEST_F(MessageWindowComponentTest, AReleaseWaitingForAThreadThatEndsFinishesAsItEnds) {
    IMessageWindow* pWindow = NewComponent();
    ASSERT_NE(pWindow, nullptr);
    CRecordingSink sink;
    std::promise<HWND> created;
    std::promise<void> end;
    std::thread owner([&] {
        HWND hWnd = nullptr;
        pWindow->CreateMessageWindow(&hWnd, &sink);
        created.set_value(hWnd);
        end.get_future().wait();
    });
    const HWND hWnd = created.get_future().get();
    pWindow->Release(0);
    EXPECT_EQ(ModuleCanUnloadNow(), 0);  // its window still exists
    end.set_value();
    owner.join();
    EXPECT_FALSE(IsWindow(hWnd));
    EXPECT_EQ(ModuleCanUnloadNow(), 1);
}

// A window whose thread ends while its component holds it is destroyed by that thread, as by
// anyone else: the sink hears its end, and the release has nothing left to wait for.
TEST_F(MessageWindowComponentTest, AWindowWhoseThreadEndsTellsItsSink) {
    IMessageWindow* pWindow = NewComponent();
    ASSERT_NE(pWindow, nullptr);
    CRecordingSink sink;
    std::thread([&] {
        HWND hWnd = nullptr;
        pWindow->CreateMessageWindow(&hWnd, &sink);
    }).join();
    EXPECT_EQ(sink.Sequence(),
              (std::vector<std::pair<uint32_t, int32_t>>{{WM_DESTROY, 1}, {WM_NCDESTROY, 1}}));
    pWindow->Release(0);
}

// The window thread's queue holds all the posted messages it may when the component is released
// on another thread: the destroy request is not lost, and the module stays busy until the window
// has gone. A system whose queue takes more does not meet the case.
TEST_F(MessageWindowComponentTest, AReleaseThatFindsTheQueueFullStillEndsTheWindow) {
    constexpr int kPostedMessageQuota = 10000;
    IMessageWindow* pWindow = NewComponent();
    ASSERT_NE(pWindow, nullptr);
    CRecordingSink sink;
    std::promise<HWND> created;
    std::promise<void> pump;
    bool bFull = false;
    std::atomic<bool> bGone{false};
    std::thread owner([&] {
        HWND hWnd = nullptr;
        pWindow->CreateMessageWindow(&hWnd, &sink);
        int nPosted = 0;
        while (nPosted <= kPostedMessageQuota && PostMessageA(nullptr, WM_USER, 0, 0))
            ++nPosted;
        bFull = nPosted == kPostedMessageQuota && GetLastError() == ERROR_NOT_ENOUGH_QUOTA;
        created.set_value(hWnd);
        pump.get_future().wait();
        bGone = PumpMessagesUntil([&] { return !IsWindow(hWnd); }, kGenerousMs);
    });
    const HWND hWnd = created.get_future().get();
    pWindow->Release(0);
    const bool bHeldWithItsWindow = IsWindow(hWnd) && ModuleCanUnloadNow() == 0;
    pump.set_value();
    owner.join();
    if (!bFull) {
        GTEST_SKIP() << "this system's queue took more than " << kPostedMessageQuota << " messages";
    }
    EXPECT_TRUE(bHeldWithItsWindow);
    EXPECT_TRUE(bGone);
    EXPECT_EQ(ModuleCanUnloadNow(), 1);
}

}  // namespace
