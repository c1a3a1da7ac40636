// The component base: the shared IComponent operations, the one release path with its gates,
// the hold count and the registry removal, the slot order other modules call by, the registry
// path copy and the configuration record.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "mirel/component_config.h"
#include "mirel/exports.h"
#include "module/live_registry.h"
#include "base/module_state.h"
#include "platform/debug_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_module_statics.h"

// How a client in another module sees a component: nothing but the slot order. Declared outside
// the anonymous namespace so that the compiler cannot assume it knows every implementation.
class IClientView {
public:
    virtual int32_t Slot0() = 0;
    virtual int32_t Slot1() = 0;
    virtual void Slot2(int32_t) = 0;
    virtual int32_t Slot3() = 0;
    virtual void Slot4(int32_t) = 0;
    virtual int32_t Slot5() = 0;
    virtual void Slot6Shutdown() = 0;
    virtual void Slot7ResolveRegistryPath(const char*, char*, int32_t) = 0;

protected:
    ~IClientView() = default;
};

namespace {

#ifdef _WIN32
// Without a debugger the break would end the process; this steps over it, as a debugger user would.
LONG CALLBACK StepOverBreakpoint(EXCEPTION_POINTERS* pInfo) {
    if (pInfo->ExceptionRecord->ExceptionCode != EXCEPTION_BREAKPOINT) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
#if defined(_M_X64) || defined(__x86_64__)
    pInfo->ContextRecord->Rip += 1;
#else
    pInfo->ContextRecord->Eip += 1;
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}
#endif

class ComponentBaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        MirelSetDllSafe(1);
        SetFactoryHandle(nullptr);
        SetDLLRegistry("Z:\\conf\\module.ini");
        TestLog.Reset();
    }
    void TearDown() override {
        MirelSetDllSafe(1);
        SetDLLRegistry(nullptr);
        EXPECT_EQ(LiveRegistry.size(), 0u);
    }
    CTestComponent* Create() {
        return static_cast<CTestComponent*>(CreateComponent(kTestComponentId, 1));
    }
    CDebugCapture m_capture;
};

// Calls every slot through a view of the object that only shares its slot order, as another module
// does. The undefined-behaviour checker's dynamic type check cannot know that contract.
#if defined(__GNUC__) && !defined(_WIN32)
__attribute__((no_sanitize("vptr")))
#endif
void CallEverySlotAsAClient(IComponent* pComponent) {
    IClientView* pView = reinterpret_cast<IClientView*>(pComponent);
    EXPECT_EQ(static_cast<void*>(pView), static_cast<void*>(pComponent));
    EXPECT_EQ(pView->Slot0(), kTestComponentId);
    EXPECT_EQ(pView->Slot1(), 1);
    EXPECT_EQ(pView->Slot3(), 0);
    pView->Slot4(1);
    EXPECT_EQ(pView->Slot3(), 1);
    EXPECT_EQ(pView->Slot5(), 42);
    char szBuffer[64] = "";
    pView->Slot7ResolveRegistryPath("a.ini", szBuffer, sizeof(szBuffer));
    EXPECT_STREQ(szBuffer, "a.ini");
    pView->Slot6Shutdown();
    EXPECT_EQ(TestLog.nShutdowns, 1);
    pView->Slot2(0);
    EXPECT_EQ(TestLog.nDestroyed, 1);
}

TEST_F(ComponentBaseTest, SlotsAreWhereOtherModulesCallThem) {
    CallEverySlotAsAClient(Create());
}

TEST_F(ComponentBaseTest, ReleaseDoesNothingWhileDllSafeIsZero) {
    CTestComponent* pComponent = Create();
    MirelSetDllSafe(0);
    pComponent->Release(1);
    EXPECT_EQ(TestLog.nShutdowns, 0);
    EXPECT_EQ(pComponent->IsAlive(), 1);
    EXPECT_EQ(LiveRegistry.size(), 1u);

    MirelSetDllSafe(1);
    pComponent->Release(0);
    EXPECT_EQ(TestLog.nShutdowns, 1);
    EXPECT_EQ(TestLog.nDestroyed, 1);
    EXPECT_EQ(MirelDllCanUnloadNow(), 1);
}

TEST_F(ComponentBaseTest, ForceOnlyComponentsIgnoreAnUnforcedRelease) {
    CTestComponent* pComponent = Create();
    pComponent->SetForceOnly(1);
    pComponent->Release(0);
    EXPECT_EQ(TestLog.nShutdowns, 0);
    EXPECT_EQ(LiveRegistry.size(), 1u);
    pComponent->Release(1);
    EXPECT_EQ(TestLog.nShutdowns, 1);
    EXPECT_EQ(TestLog.nDestroyed, 1);
}

TEST_F(ComponentBaseTest, AHeldComponentShutsDownOnceAndStaysUntilItIsLetGo) {
    CTestComponent* pComponent = Create();
    pComponent->SetHoldCount(2);
    pComponent->Release(0);
    pComponent->Release(0);
    EXPECT_EQ(TestLog.nShutdowns, 1);
    EXPECT_EQ(TestLog.nDestroyed, 0);
    EXPECT_EQ(pComponent->IsAlive(), 0);
    EXPECT_EQ(LiveRegistry.size(), 1u);

    pComponent->SetHoldCount(0);
    pComponent->Release(0);
    EXPECT_EQ(TestLog.nShutdowns, 1);
    EXPECT_EQ(TestLog.nDestroyed, 1);
    EXPECT_EQ(LiveRegistry.size(), 0u);
}

TEST_F(ComponentBaseTest, AComponentNeverRegisteredIsStillDestroyedAndTraced) {
    CTestComponent* pStray = new CTestComponent(&TestLog);
    const void* pAddress = pStray;
    pStray->Release(0);
    EXPECT_EQ(TestLog.nDestroyed, 1);
    std::vector<std::string> lines = m_capture.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Mirel[Error]: To remove a component not exist\n");
    char szExpected[64];
    snprintf(szExpected, sizeof(szExpected), "Mirel[Error]: IComponent* = 0x%0*llX\n",
             static_cast<int>(2 * sizeof(void*)),
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pAddress)));
    EXPECT_EQ(lines[1], szExpected);
}

TEST_F(ComponentBaseTest, TheIdleNotificationIsAttemptedExceptForFactoryComponents) {
    IComponent* pFactoryLike = CreateComponent(kFactoryComponentId, 0);
    pFactoryLike->Release(0);
    EXPECT_EQ(m_capture.Text(), "");  // notify flag 0: the factory library is not even sought

    Create()->Release(0);
    EXPECT_NE(m_capture.Text().find("[Mirel_Error] Load MirFact.dll Fail.\n"), std::string::npos);
}

TEST_F(ComponentBaseTest, DestroyingALiveComponentOtherThanByReleaseBreaksAndGoesOn) {
    CTestComponent* pComponent = new CTestComponent(&TestLog);
#ifdef _WIN32
    PVOID hHandler = AddVectoredExceptionHandler(1, StepOverBreakpoint);
    pComponent->DestroyDirectly();
    RemoveVectoredExceptionHandler(hHandler);
#else
    pComponent->DestroyDirectly();
    EXPECT_NE(m_capture.Text().find("DebugBreak"), std::string::npos);
#endif
    EXPECT_EQ(TestLog.nDestroyed, 1);
}

TEST_F(ComponentBaseTest, ResolveRegistryPathCopiesOnlyWhatFitsWhole) {
    CTestComponent* pComponent = Create();
    const std::string tooLong(40, 'p');
    const struct {
        const char* szPath;
        int32_t nSize;
        const char* szExpected;
    } cases[] = {
        {"Z:\\other.ini", 32, "Z:\\other.ini"},
        {nullptr, 32, "Z:\\conf\\module.ini"},  // the module's path
        {"", 32, "Z:\\conf\\module.ini"},
        {tooLong.c_str(), 40, "untouched"},  // length == size: not copied at all
        {"abc", 4, "abc"},
        {"abcd", 4, "untouched"},
        {"abc", 0, "untouched"},
        {"abc", -1, "untouched"},
    };
    for (const auto& c : cases) {
        char szBuffer[64] = "untouched";
        pComponent->ResolveRegistryPath(c.szPath, szBuffer, c.nSize);
        EXPECT_STREQ(szBuffer, c.szExpected) << (c.szPath ? c.szPath : "(null)") << " " << c.nSize;
    }
    pComponent->ResolveRegistryPath("abc", nullptr, 10);  // null buffer: nothing written
    pComponent->Release(0);
}

TEST_F(ComponentBaseTest, AConfigRecordWithoutALoadedFactoryKeepsItsInitialValues) {
    ComponentConfig config(kTimerComponentId);
    const unsigned char* pBytes = reinterpret_cast<const unsigned char*>(&config);
    EXPECT_EQ(config.nReserved0, 0);
    EXPECT_EQ(config.nWord4, 0);
    EXPECT_EQ(config.nFactoryWord1, -1);
    EXPECT_EQ(config.nFactoryWord0, 0);
    EXPECT_EQ(pBytes[16], 0);
    EXPECT_EQ(pBytes[80], 0);
    EXPECT_EQ(pBytes[96], 0);
    EXPECT_EQ(m_capture.Text(), "");  // not loaded: nothing is said
}

TEST_F(ComponentBaseTest, AConfigRecordTakesTheFactorysTwoWordsCrosswise) {
    CTempDir dir;
    SetDLLRegistry(dir.Write("Mirel.ini", "[ComponentConfig]\r\n795=0x11,0x22\r\n").c_str());
    HMODULE hFactoryLibrary = LoadLibraryA((ExecutableDirectory() + "\\MirFact.dll").c_str());
    ASSERT_NE(hFactoryLibrary, nullptr);

    ComponentConfig withRecord(kTimerComponentId);
    EXPECT_EQ(withRecord.nFactoryWord0, 0x11);  // offset 12 receives word 0
    EXPECT_EQ(withRecord.nFactoryWord1, 0x22);  // offset 8 receives word 1
    EXPECT_EQ(withRecord.nReserved0, 0);

    ComponentConfig withoutRecord(kTestComponentId);
    EXPECT_EQ(withoutRecord.nFactoryWord1, -1);
    EXPECT_EQ(withoutRecord.nFactoryWord0, 0);
    FreeLibrary(hFactoryLibrary);
}

}  // namespace
