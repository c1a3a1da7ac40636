// The module frame seen from its exports and from inside: the factory table, CreateComponent and
// its registry record, the registry path, the live-component registry's removal, leak report and
// forced release, the trace routine and the module lock.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <thread>
#include <vector>

#include "mirel/exports.h"
#include "module/live_registry.h"
#include "base/module_lock.h"
#include "base/module_state.h"
#include "base/module_trace.h"
#include "platform/module_entry_glue.h"
#include "platform/debug_capture.h"
#include "tests/support/test_module_statics.h"

namespace {

std::string PointerDigits(const void* p) {
    char szText[32];
    snprintf(szText, sizeof(szText), "%0*llX", static_cast<int>(2 * sizeof(void*)),
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return szText;
}

class ModuleFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        MirelSetDllSafe(1);
        // No factory library in reach: the idle notification is traced, and captured here.
        SetFactoryHandle(nullptr);
        TestLog.Reset();
    }
    void TearDown() override {
        // Every test leaves the registry as it found it.
        EXPECT_EQ(LiveRegistry.size(), 0u);
    }
    CDebugCapture m_capture;
};

TEST_F(ModuleFrameTest, GetComponentIDsCopiesWhatFitsAndAlwaysReturnsTheRowCount) {
    EXPECT_EQ(GetComponentIDs(nullptr, 0), kTestTableRows);
    // A null array with a capacity is treated as capacity 0 rather than written through.
    EXPECT_EQ(GetComponentIDs(nullptr, 3), kTestTableRows);

    int32_t ids[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
    EXPECT_EQ(GetComponentIDs(ids, 2), kTestTableRows);
    EXPECT_EQ(ids[0], kTestComponentId);
    EXPECT_EQ(ids[1], kNullComponentId);
    EXPECT_EQ(ids[2], -1);

    EXPECT_EQ(GetComponentIDs(ids, 8), kTestTableRows);
    EXPECT_EQ(ids[3], kFactoryComponentId);
    EXPECT_EQ(ids[4], kTestComponentId);  // registered twice: both rows are listed
    EXPECT_EQ(ids[5], -1);
}

TEST_F(ModuleFrameTest, CreateComponentWithoutCreationFunctionTracesTwoLines) {
    const struct {
        int32_t nId;
        const char* szSecondLine;
    } cases[] = {
        {0, "Mirel[Error]: ComponentID=0 CreatorID=7"},
        {12, "Mirel[Error]: ComponentID=12 CreatorID=7"},
        {-5, "Mirel[Error]: ComponentID=-5 CreatorID=7"},
    };
    for (const auto& c : cases) {
        m_capture.Clear();
        EXPECT_EQ(CreateComponent(c.nId, 7), nullptr);
        EXPECT_EQ(
            m_capture.Lines(),
            (std::vector<std::string>{"Mirel[Error]: Can't find the factory method of Component\n",
                                      c.szSecondLine}));
    }
    EXPECT_EQ(MirelDllCanUnloadNow(), 1);
}

TEST_F(ModuleFrameTest, CreateComponentWhoseCreationFunctionFailsRecordsNothing) {
    EXPECT_EQ(CreateComponent(kNullComponentId, 4294967295u), nullptr);
    EXPECT_EQ(m_capture.Lines(),
              (std::vector<std::string>{"Mirel[Error]:CreateComponent method return NULL.\n",
                                        "Mirel[Error]: ComponentID=4243 CreatorID=4294967295"}));
    EXPECT_EQ(MirelDllCanUnloadNow(), 1);
}

TEST_F(ModuleFrameTest, CreateComponentRecordsTheRequestedIdAndCreator) {
    IComponent* pComponent = CreateComponent(kTestComponentId, 3);
    ASSERT_NE(pComponent, nullptr);
    EXPECT_EQ(MirelDllCanUnloadNow(), 0);
    ASSERT_EQ(LiveRegistry.count(pComponent), 1u);
    const LiveComponentEntry& entry = LiveRegistry.at(pComponent);
    EXPECT_EQ(entry.nComponentId, kTestComponentId);
    EXPECT_EQ(entry.nCreatorId, 3u);
    EXPECT_EQ(entry.pComponent, pComponent);

    pComponent->Release(0);
    EXPECT_EQ(MirelDllCanUnloadNow(), 1);
    EXPECT_EQ(TestLog.nDestroyed, 1);
}

TEST_F(ModuleFrameTest, TheSameObjectHandedOutTwiceKeepsOneEntryWithTheLatestValues) {
    IComponent* pFirst = CreateComponent(kSameObjectComponentId, 1);
    IComponent* pSecond = CreateComponent(kSameObjectComponentId, 2);
    ASSERT_EQ(pFirst, pSecond);
    EXPECT_EQ(LiveRegistry.size(), 1u);
    EXPECT_EQ(LiveRegistry.at(pFirst).nCreatorId, 2u);
    pFirst->Release(0);
    ForgetSharedTestComponent();
}

TEST_F(ModuleFrameTest, SetDLLRegistryStoresOnlyPathsThatFitWhole) {
    const std::string fits(259, 'a');
    const std::string tooLong(260, 'b');
    const struct {
        const char* szPath;
        const char* szExpected;
    } cases[] = {
        {"C:\\App\\Mirel.ini", "C:\\App\\Mirel.ini"},
        {fits.c_str(), fits.c_str()},
        {tooLong.c_str(), ""},
        {"x.ini", "x.ini"},
        {nullptr, ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SetDLLRegistry(c.szPath), 0);
        EXPECT_STREQ(RegistryPath, c.szExpected);
    }
}

TEST_F(ModuleFrameTest, SetFactoryHandleAndDllSafeReturnWhatTheyAreGiven) {
    int marker = 0;
    EXPECT_EQ(SetFactoryHandle(&marker), &marker);
    EXPECT_EQ(FactoryHandle, reinterpret_cast<HMODULE>(&marker));
    EXPECT_EQ(SetFactoryHandle(nullptr), nullptr);
    EXPECT_EQ(MirelSetDllSafe(5), 5);
    EXPECT_NE(DllSafe, 0);
    EXPECT_EQ(MirelSetDllSafe(0), 0);
    EXPECT_EQ(DllSafe, 0);
}

TEST_F(ModuleFrameTest, RemovingAnUnknownPointerTracesItAndChangesNothing) {
    IComponent* pLive = CreateComponent(kTestComponentId, 1);
    IComponent* pUnknown = reinterpret_cast<IComponent*>(static_cast<uintptr_t>(0x1234ABC0));
    m_capture.Clear();
    RemoveLiveComponent(pUnknown, 1);
    EXPECT_EQ(m_capture.Lines(),
              (std::vector<std::string>{
                  "Mirel[Error]: To remove a component not exist\n",
                  "Mirel[Error]: IComponent* = 0x" + PointerDigits(pUnknown) + "\n"}));
    EXPECT_EQ(LiveRegistry.size(), 1u);
    pLive->Release(0);
}

TEST_F(ModuleFrameTest, LeakReportListsLiveComponentsInAddressOrder) {
    ReportLeaks();
    EXPECT_TRUE(m_capture.Lines().empty());

    IComponent* pA = CreateComponent(kTestComponentId, 0x10);
    IComponent* pB = CreateComponent(kTestComponentId, 0x20);
    if (reinterpret_cast<uintptr_t>(pB) < reinterpret_cast<uintptr_t>(pA)) {
        std::swap(pA, pB);
    }
    const uint32_t nCreatorA = LiveRegistry.at(pA).nCreatorId;
    const uint32_t nCreatorB = LiveRegistry.at(pB).nCreatorId;
    m_capture.Clear();
    ReportLeaks();

    const std::string banner =
        "Mirel[Error]:=================================================================\n";
    auto line = [](IComponent* p, uint32_t nCreator) {
        char szText[128];
        snprintf(szText, sizeof(szText), "Mirel[Error]:ComponentID:0x%08x CreatorID:0x%08x ",
                 static_cast<unsigned>(kTestComponentId), static_cast<unsigned>(nCreator));
        return std::string(szText) + "Pointer:0x" + PointerDigits(p) + "\n";
    };
    std::vector<std::string> expected = {banner,
                                         "Mirel[Error]:Found leak Mirel components. Count:2\n",
                                         line(pA, nCreatorA), line(pB, nCreatorB), banner};
    std::vector<std::string> actual = m_capture.Lines();
    // Pointer digits are upper-case in the not-found line but lower-case here, as printed by %x.
    for (std::string& s : expected) {
        for (char& c : s)
            c = static_cast<char>(tolower(c));
    }
    for (std::string& s : actual) {
        for (char& c : s)
            c = static_cast<char>(tolower(c));
    }
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(LiveRegistry.size(), 2u);  // reported, not released
    pA->Release(0);
    pB->Release(0);
}

TEST_F(ModuleFrameTest, FreeMapReleasesOnlyAutoFreeComponents) {
    MirelDllFreeMap();  // empty registry: nothing to do
    EXPECT_TRUE(m_capture.Lines().empty());

    std::vector<IComponent*> keep, drop;
    for (int i = 0; i < 4; ++i) {
        keep.push_back(CreateComponent(kTestComponentId, i));
        drop.push_back(CreateComponent(kTestComponentId, 100 + i));
        drop.back()->SetAutoFree(1);
    }
    MirelDllFreeMap();
    EXPECT_EQ(LiveRegistry.size(), keep.size());
    for (IComponent* p : keep) {
        EXPECT_EQ(LiveRegistry.count(p), 1u);
    }
    EXPECT_EQ(TestLog.nDestroyed, 4);

    // A held component stays although it allows auto-free; the walk still ends.
    static_cast<CTestComponent*>(keep[0])->SetHoldCount(1);
    for (IComponent* p : keep)
        p->SetAutoFree(1);
    MirelDllFreeMap();
    EXPECT_EQ(LiveRegistry.size(), 1u);
    static_cast<CTestComponent*>(keep[0])->SetHoldCount(0);
    keep[0]->Release(0);
}

TEST_F(ModuleFrameTest, FreeMapOfTheLastComponentSendsTheIdleNotificationOnlyForNonFactories) {
    IComponent* pFactoryLike = CreateComponent(kFactoryComponentId, 0);
    pFactoryLike->SetAutoFree(1);
    MirelDllFreeMap();
    // Removing a factory component sends no notification, so nothing tries to reach the factory.
    EXPECT_EQ(m_capture.Text(), "");

    IComponent* pOther = CreateComponent(kTestComponentId, 0);
    pOther->SetAutoFree(1);
    MirelDllFreeMap();
    // With no factory library to be had, the attempt shows in the loader's diagnostics.
    EXPECT_NE(m_capture.Text().find("[Mirel_Error] Load MirFact.dll Fail.\n"), std::string::npos);
}

TEST_F(ModuleFrameTest, TraceModuleErrorCutsAt1023CharactersAndAddsNothing) {
    const std::string longText(3000, 'x');
    TraceModuleError("%s", longText.c_str());
    TraceModuleError("Mirel[Error]: ComponentID=%d CreatorID=%u", 795, 3u);
    std::vector<std::string> lines = m_capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(1023, 'x'));
    EXPECT_EQ(lines[1], "Mirel[Error]: ComponentID=795 CreatorID=3");
}

TEST_F(ModuleFrameTest, TheLockComesBackAfterTheDetachStepAndSetsDllSafeAgain) {
    MirelSetDllSafe(0);
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    EXPECT_FALSE(IsModuleLockInitialised());
    EXPECT_EQ(DllSafe, 0);
    // A second detach finds no lock and does nothing.
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    EnterModuleLock();
    EnterModuleLock();  // recursive for its owner
    LeaveModuleLock();
    LeaveModuleLock();
    EXPECT_TRUE(IsModuleLockInitialised());
    EXPECT_EQ(DllSafe, 1);
}

TEST_F(ModuleFrameTest, ThreadsCreatingAndReleasingAtOnceLeaveAnEmptyRegistry) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kRounds; ++i) {
                IComponent* p = CreateComponent(kTestComponentId, static_cast<uint32_t>(t));
                MirelDllCanUnloadNow();
                if (p != nullptr)
                    p->Release(0);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(MirelDllCanUnloadNow(), 1);
    EXPECT_EQ(TestLog.nDestroyed, kThreads * kRounds);
}

}  // namespace
