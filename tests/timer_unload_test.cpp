// Unloading the timer module while its timers run: the leak report names the live component, every
// expiry stops, and the shared message-window component is left alone rather than released into
// a module that may already be gone. The components left behind are left on purpose, so this
// program runs without the leak checker.
#include <gtest/gtest.h>

#include <string>

#include "mirel/component_factory.h"
#include "mirel/exports.h"
#include "mirel/timer.h"
#include "platform/debug_capture.h"
#include "tests/support/factory_library_host.h"
#include "tests/support/temp_dir.h"
#include "tests/support/timer_test_support.h"

namespace {

template <class Fn>
Fn Export(HMODULE hModule, const char* szName) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(hModule, szName)));
}

TEST(TimerUnloadTest, UnloadingWithLiveTimersStopsEveryExpiryAndKeepsTheWindowComponent) {
    CDrivenClock clock;
    CTempDir dir;
    const std::string config = WriteTimerConfiguration(dir, "MirelMsgWnd.dll");
    HMODULE hTimerModule = LoadLibraryA("MirelTimer.dll");
    ASSERT_NE(hTimerModule, nullptr);
    Export<SetDLLRegistryFn>(hTimerModule, "SetDLLRegistry")(config.c_str());
    ITimer* pTimer = static_cast<ITimer*>(
        Export<CreateComponentFn>(hTimerModule, "CreateComponent")(kTimerComponentId, 5));
    ASSERT_NE(pTimer, nullptr);
    CRecordingHandler handler;
    ASSERT_NE(pTimer->StartTimer(10, 0, &handler), 0u);
    ASSERT_NE(pTimer->StartTimer(25, 0, &handler), 0u);
    ASSERT_TRUE(PumpMessagesUntil([&] { return handler.Count() >= 2; }, 3000));

    CDebugCapture capture;
    FreeLibrary(hTimerModule);
    ASSERT_EQ(GetModuleHandleA("MirelTimer.dll"), nullptr);
    const size_t nCallsAtUnload = handler.Count();
    PumpMessages(200);
    EXPECT_EQ(handler.Count(), nCallsAtUnload);

    const std::string text = capture.Text();
    EXPECT_NE(text.find("Mirel[Error]:Found leak Mirel components. Count:1\n"), std::string::npos);
    EXPECT_NE(text.find("Mirel[Error]:ComponentID:0x0000031b CreatorID:0x00000005"),
              std::string::npos)
        << text;

    // The message-window module still holds its component: nobody released it.
    HMODULE hWindowModule = GetModuleHandleA("MirelMsgWnd.dll");
    ASSERT_NE(hWindowModule, nullptr);
    EXPECT_EQ(Export<MirelDllCanUnloadNowFn>(hWindowModule, "MirelDllCanUnloadNow")(), 0);
}

}  // namespace
