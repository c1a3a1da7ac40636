// Unloading the timer module while its timers run: the leak report names the live component, every
// expiry stops, and the shared message-window component is left alone rather than released into
// a module that may already be gone. The components left behind are left on purpose, so this
// program runs without the leak checker.
#include <gtest/gtest.h>

#include <string>

#include "mirel/component_factory.h"
#include "mirel/exports.h"
#include "mirel/timer.h"
#include "tests/support/debug_capture.h"
#include "tests/support/factory_library_host.h"
#include "tests/support/message_pump.h"
#include "tests/support/temp_dir.h"

namespace {

class CCountingHandler : public ITimerHandler {
public:
    int32_t GetHandlerVersion() override { return 1; }
    int32_t OnTimer(uint32_t, int32_t) override {
        ++m_nCalls;
        return 0;
    }
    int m_nCalls = 0;
};

template <class Fn>
Fn Export(HMODULE hModule, const char* szName) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(hModule, szName)));
}

TEST(TimerUnloadTest, UnloadingWithLiveTimersStopsEveryExpiryAndKeepsTheWindowComponent) {
    CTempDir dir;
    const std::string config = dir.Write(
        "Mirel.ini", "[361]\r\nDLL=" + BinaryFile("MirFact.dll") +
                         "\r\n[Components]\r\n33=" + BinaryFile("MirelMsgWnd.dll") + "\r\n");
    HMODULE hTimerModule = LoadLibraryA("MirelTimer.dll");
    ASSERT_NE(hTimerModule, nullptr);
    Export<SetDLLRegistryFn>(hTimerModule, "SetDLLRegistry")(config.c_str());
    ITimer* pTimer = static_cast<ITimer*>(
        Export<CreateComponentFn>(hTimerModule, "CreateComponent")(kTimerComponentId, 5));
    ASSERT_NE(pTimer, nullptr);
    CCountingHandler handler;
    ASSERT_NE(pTimer->StartTimer(10, 0, &handler), 0u);
    ASSERT_NE(pTimer->StartTimer(25, 0, &handler), 0u);
    ASSERT_TRUE(PumpMessagesUntil([&] { return handler.m_nCalls >= 2; }, 3000));

    CDebugCapture capture;
    FreeLibrary(hTimerModule);
    ASSERT_EQ(GetModuleHandleA("MirelTimer.dll"), nullptr);
    const int nCallsAtUnload = handler.m_nCalls;
    PumpMessages(200);
    EXPECT_EQ(handler.m_nCalls, nCallsAtUnload);

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
