// The idle notification: when a release empties the live-component registry, the module tells
// the factory component it gets through its factory library, once, with its instance handle; a
// factory component's own removal never does. A recording factory library stands in for the real
// one, given to the module as its factory handle.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "mirel/exports.h"
#include "module/live_registry.h"
#include "base/module_state.h"
#include "tests/fixtures/fake_factory.h"
#include "platform/debug_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_module_statics.h"

namespace {

class IdleNotificationTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_hFake = LoadLibraryA((ExecutableDirectory() + "\\FakeFactory.dll").c_str());
        ASSERT_NE(m_hFake, nullptr);
        auto pfnGetState = reinterpret_cast<FakeFactoryGetStateFn>(
            reinterpret_cast<void*>(GetProcAddress(m_hFake, kFakeFactoryGetStateName)));
        ASSERT_NE(pfnGetState, nullptr);
        m_pState = pfnGetState();
        memset(m_pState, 0, sizeof(*m_pState));
        MirelSetDllSafe(1);
        SetFactoryHandle(m_hFake);
        SetDLLRegistry("Z:\\conf\\host.ini");
        // The test program is no module: give it an instance handle to be told apart by.
        ModuleInstance = reinterpret_cast<HINSTANCE>(&m_marker);
    }
    void TearDown() override {
        SetFactoryHandle(nullptr);
        SetDLLRegistry(nullptr);
        ModuleInstance = nullptr;
        EXPECT_EQ(LiveRegistry.size(), 0u);
        FreeLibrary(m_hFake);
    }
    HMODULE m_hFake = nullptr;
    FakeFactoryState* m_pState = nullptr;
    int m_marker = 0;
};

TEST_F(IdleNotificationTest, TheLastReleaseTellsTheFactoryOnceWithTheInstanceHandle) {
    IComponent* pFirst = CreateComponent(kTestComponentId, 1);
    IComponent* pSecond = CreateComponent(kTestComponentId, 2);
    pFirst->Release(0);
    EXPECT_EQ(m_pState->created.nNotifyCalls, 0);  // one component is still alive

    pSecond->Release(0);
    // The factory library's entry point gives a factory, which is asked for component 361 with
    // the module's registry path; that component is told, with auto-free set and never released.
    EXPECT_EQ(m_pState->nLastEntryId, kFactoryComponentId);
    EXPECT_EQ(m_pState->factory.nLastCreateId, kFactoryComponentId);
    EXPECT_STREQ(m_pState->factory.szLastCreatePath, "Z:\\conf\\host.ini");
    EXPECT_EQ(m_pState->created.nNotifyCalls, 1);
    EXPECT_EQ(m_pState->created.pLastNotified, static_cast<void*>(&m_marker));
    EXPECT_EQ(m_pState->created.nLastAutoFree, 1);
    EXPECT_EQ(m_pState->created.nReleaseCalls, 0);
    EXPECT_EQ(m_pState->factory.nReleaseCalls, 0);
    EXPECT_EQ(MirelDllCanUnloadNow(), 1);
}

TEST_F(IdleNotificationTest, AFactoryComponentsRemovalTellsNobody) {
    IComponent* pFactoryLike = CreateComponent(kFactoryComponentId, 0);
    pFactoryLike->Release(0);
    EXPECT_EQ(m_pState->nEntryCalls, 0);
    EXPECT_EQ(m_pState->created.nNotifyCalls, 0);
    EXPECT_EQ(MirelDllCanUnloadNow(), 1);
}

TEST_F(IdleNotificationTest, RemovingAnUnknownPointerFromAnEmptyRegistryStillNotifies) {
    CDebugCapture capture;
    RemoveLiveComponent(reinterpret_cast<IComponent*>(&m_marker), 1);
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Mirel[Error]: To remove a component not exist\n");
    EXPECT_EQ(m_pState->created.nNotifyCalls, 1);

    RemoveLiveComponent(reinterpret_cast<IComponent*>(&m_marker), 0);
    EXPECT_EQ(m_pState->created.nNotifyCalls, 1);
}

TEST_F(IdleNotificationTest, AFactoryThatCreatesNoComponent361IsToldNothingAndNothingIsTraced) {
    m_pState->bCreateReturnsNull = 1;
    CDebugCapture capture;
    CreateComponent(kTestComponentId, 1)->Release(0);
    EXPECT_EQ(m_pState->factory.nCreateCalls, 1);
    EXPECT_EQ(m_pState->created.nNotifyCalls, 0);
    EXPECT_EQ(capture.Text(), "");
}

}  // namespace
