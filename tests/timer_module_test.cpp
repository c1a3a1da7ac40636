// The shipped timer module as a client in another module uses it: created through the factory
// library from the configuration alone, delivering OnTimer, and after its last component is
// released, reporting itself unloadable and being unloaded by the factory library when the host
// asks, never while a component lives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mirel/exports.h"
#include "mirel/timer.h"
#include "platform/debug_capture.h"
#include "tests/support/factory_library_host.h"
#include "tests/support/temp_dir.h"
#include "tests/support/timer_test_support.h"

namespace {

int32_t TimerModuleCanUnloadNow() {
    HMODULE hModule = GetModuleHandleA("MirelTimer.dll");
    if (hModule == nullptr)
        return -1;
    auto pfn = reinterpret_cast<MirelDllCanUnloadNowFn>(
        reinterpret_cast<void*>(GetProcAddress(hModule, "MirelDllCanUnloadNow")));
    return pfn != nullptr ? pfn() : -1;
}

TEST(TimerModuleTest, AClientGetsTimersThroughTheFactoryAndTheIdleModuleIsUnloaded) {
    CDrivenClock clock;
    CTempDir dir;
    const std::string config =
        WriteTimerConfiguration(dir, "MirelMsgWnd.dll", "MirelTimer.dll", "conf\\Mirel.ini");
    CFactoryLibraryHost host;
    ASSERT_TRUE(host.Loaded());
    CDebugCapture capture;

    ITimer* pFirst = static_cast<ITimer*>(
        host.Factory()->CreateComponentByID(kTimerComponentId, config.c_str()));
    ITimer* pSecond = static_cast<ITimer*>(
        host.Factory()->CreateComponentByID(kTimerComponentId, config.c_str()));
    ASSERT_TRUE(pFirst && pSecond) << capture.Text();
    EXPECT_EQ(pFirst->GetComponentID(), kTimerComponentId);

    CRecordingHandler handler;
    const uint32_t nId = pFirst->StartTimer(15, 0x1234, &handler);
    ASSERT_NE(nId, 0u) << capture.Text();
    EXPECT_TRUE(PumpMessagesUntil([&] { return handler.Count() >= 3; }, 3000));
    const auto calls = handler.Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), std::make_pair(nId, int32_t{0x1234}));

    // While a component lives the module stays, whatever the host asks.
    pFirst->Release(0);
    EXPECT_EQ(TimerModuleCanUnloadNow(), 0);
    host.UnloadIdleModules();
    EXPECT_NE(GetModuleHandleA("MirelTimer.dll"), nullptr);

    pSecond->Release(0);
    EXPECT_EQ(TimerModuleCanUnloadNow(), 1);
    EXPECT_GE(host.UnloadIdleModules(), 1);
    EXPECT_EQ(GetModuleHandleA("MirelTimer.dll"), nullptr);
    // Nothing was reported on the way: no leak, no failure.
    EXPECT_EQ(capture.Text().find("Mirel[Error]"), std::string::npos) << capture.Text();
    EXPECT_EQ(capture.Text().find("[Mirel_Error]"), std::string::npos) << capture.Text();
}

// A handler releases the module's last component and goes on running: until it has returned into
// the module, the module answers busy and the factory unloads nothing. The idle notification goes
// out when the dispatch has returned, and the module is unloaded then.
TEST(TimerModuleTest, AModuleIsNotIdleWhileAHandlerStillRunsForIt) {
    CTempDir dir;
    const std::string config =
        WriteTimerConfiguration(dir, "MirelMsgWnd.dll", "MirelTimer.dll", "conf\\Mirel.ini");
    CFactoryLibraryHost host;
    ASSERT_TRUE(host.Loaded());
    ITimer* pTimer = static_cast<ITimer*>(
        host.Factory()->CreateComponentByID(kTimerComponentId, config.c_str()));
    ASSERT_NE(pTimer, nullptr);
    int32_t nCanUnloadInside = -1, nUnloadedInside = -1;
    CRecordingHandler handler;
    handler.m_onTimer = [&](uint32_t) {
        if (nCanUnloadInside != -1)
            return;
        pTimer->Release(0);
        nCanUnloadInside = TimerModuleCanUnloadNow();
        // Asked only of a module that says it is busy: unloaded here, it would leave this handler
        // nothing to return to.
        if (nCanUnloadInside == 0)
            nUnloadedInside = host.UnloadIdleModules();
    };
    ASSERT_NE(pTimer->StartTimer(10, 0, &handler), 0u);
    ASSERT_TRUE(PumpMessagesUntil([&] { return nCanUnloadInside != -1; }, 3000));
    EXPECT_EQ(nCanUnloadInside, 0);
    EXPECT_EQ(nUnloadedInside, 0);
    EXPECT_EQ(TimerModuleCanUnloadNow(), 1);
    EXPECT_GE(host.UnloadIdleModules(), 1);
    EXPECT_EQ(GetModuleHandleA("MirelTimer.dll"), nullptr);
}

}  // namespace
