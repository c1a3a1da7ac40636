// The factory library as hosts and modules use it: components created from the configuration
// alone, the failures of finding, loading and asking a module, the configuration words handed to
// ComponentConfig records, and the unloading of idle modules only at the host's request and never
// while one of their components lives. MirelMsgWnd.dll (component 33) serves as the module.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "mirel/component_config.h"
#include "mirel/exports.h"
#include "tests/fixtures/fake_factory.h"
#include "tests/support/debug_capture.h"
#include "tests/support/factory_library_host.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr char kModuleName[] = "MirelMsgWnd.dll";

bool IsModuleLoaded(const char* szName) {
    return GetModuleHandleA(szName) != nullptr;
}

// The expected line with the configuration file's path put in for %CONFIG%.
std::string WithConfigPath(std::string line, const std::string& config) {
    const size_t at = line.find("%CONFIG%");
    if (at != std::string::npos) {
        line.replace(at, strlen("%CONFIG%"), config);
    }
    return line;
}

class FactoryLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_host.Loaded());
        m_pFactory = m_host.Factory();
        ASSERT_FALSE(IsModuleLoaded(kModuleName)) << "an earlier test left the module loaded";
    }
    void TearDown() override {
        // Every test releases what it created, so the host can unload everything it loaded.
        m_host.UnloadIdleModules();
        EXPECT_EQ(m_host.LoadedModuleCount(), 0);
        EXPECT_FALSE(IsModuleLoaded(kModuleName));
    }

    // A configuration file whose "Components" section names the message-window module for 33.
    std::string WriteConfiguration(const std::string& extra = std::string()) {
        return m_dir.Write("Mirel.ini",
                           "[Components]\r\n33=" + BinaryFile(kModuleName) + "\r\n" + extra);
    }

    CFactoryLibraryHost m_host;
    IComponentFactory* m_pFactory = nullptr;
    CTempDir m_dir;
};

TEST_F(FactoryLibraryTest, FactoryComponentIsOneObjectThatOutlivesItsRelease) {
    IComponent* pFirst = m_host.EntryPoint(kFactoryComponentId, 0);
    IComponent* pSecond = m_host.EntryPoint(kFactoryComponentId, 99);
    ASSERT_NE(pFirst, nullptr);
    EXPECT_EQ(pFirst, pSecond);
    EXPECT_EQ(pFirst->GetComponentID(), kFactoryComponentId);
    EXPECT_EQ(m_pFactory->CreateComponentByID(kFactoryComponentId, WriteConfiguration().c_str()),
              pFirst);

    // Modules never release it; a release that comes anyway leaves it working.
    pFirst->Release(0);
    pFirst->Release(1);
    EXPECT_EQ(pFirst->GetComponentID(), kFactoryComponentId);
    EXPECT_EQ(m_host.LoadedModuleCount(), 0);  // asking for 361 loads nothing
}

TEST_F(FactoryLibraryTest, CreatesComponentsFromTheConfigurationAndLoadsTheModuleOnce) {
    const std::string config = WriteConfiguration();
    IComponent* pA = m_pFactory->CreateComponentByID(kMessageWindowComponentId, config.c_str());
    IComponent* pB = m_pFactory->CreateComponentByID(kMessageWindowComponentId, config.c_str());
    ASSERT_NE(pA, nullptr);
    ASSERT_NE(pB, nullptr);
    EXPECT_NE(pA, pB);
    EXPECT_EQ(pA->GetComponentID(), kMessageWindowComponentId);
    EXPECT_TRUE(IsModuleLoaded(kModuleName));
    EXPECT_EQ(m_host.LoadedModuleCount(), 1);

    // Both components are recorded in the module itself.
    auto pfnCanUnload = reinterpret_cast<MirelDllCanUnloadNowFn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA(kModuleName), "MirelDllCanUnloadNow")));
    ASSERT_NE(pfnCanUnload, nullptr);
    EXPECT_EQ(pfnCanUnload(), 0);
    pA->Release(0);
    pB->Release(0);
    EXPECT_EQ(m_host.UnloadIdleModules(), 1);
}

TEST_F(FactoryLibraryTest, RelativeModulePathLiesBesideTheConfigurationFile) {
    // A copy under another name is another module, so the one beside the tests stays untouched.
    m_dir.CopyIn(BinaryFile(kModuleName), "modules\\CopyWnd.dll");
    const std::string config =
        m_dir.Write("Mirel.ini", "[Components]\r\n33=modules\\CopyWnd.dll\r\n");
    IComponent* p = m_pFactory->CreateComponentByID(kMessageWindowComponentId, config.c_str());
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(IsModuleLoaded("CopyWnd.dll"));
    EXPECT_FALSE(IsModuleLoaded(kModuleName));
    p->Release(0);
    EXPECT_EQ(m_host.UnloadIdleModules(), 1);
    EXPECT_FALSE(IsModuleLoaded("CopyWnd.dll"));
}

TEST_F(FactoryLibraryTest, FailuresGiveNullAndOneDiagnosticLine) {
    const std::string missing = m_dir.File("missing.dll");
    const std::string noEntry = BinaryFile("NoEntry.dll");
    const std::string module = BinaryFile(kModuleName);
    const struct {
        const char* szCase;
        std::string config;  // contents of Mirel.ini; empty: no file at all
        int32_t nId;
        std::string line;  // with %CONFIG% for the configuration file's path
    } cases[] = {
        {"unknown ID", "[Components]\r\n33=" + module + "\r\n", 4711,
         "MirFact: no module for component 4711 in %CONFIG%\n"},
        {"no configuration file", "", 33, "MirFact: no module for component 33 in %CONFIG%\n"},
        {"blank module value", "[Components]\r\n33=  \r\n", 33,
         "MirFact: no module for component 33 in %CONFIG%\n"},
        {"missing module file", "[Components]\r\n33=missing.dll\r\n", 33,
         "MirFact: cannot load module " + missing + " for component 33\n"},
        {"module without the exports", "[Components]\r\n33=" + noEntry + "\r\n", 33,
         "MirFact: " + noEntry +
             " is not a component module (no CreateComponent export); component 33 not created\n"},
        {"module refusing the ID", "[Components]\r\n795=" + module + "\r\n", 795,
         "MirFact: module " + module + " does not provide component 795\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szCase);
        const std::string config =
            c.config.empty() ? m_dir.File("absent.ini") : m_dir.Write("Mirel.ini", c.config);
        const std::string line = WithConfigPath(c.line, config);
        CDebugCapture capture;
        EXPECT_EQ(m_pFactory->CreateComponentByID(c.nId, config.c_str()), nullptr);
        EXPECT_EQ(capture.Lines(), std::vector<std::string>{line});
    }
    // The library without the exports was let go at once; the module that refused the ID holds
    // nothing and counts as idle.
    EXPECT_FALSE(IsModuleLoaded("NoEntry.dll"));
    EXPECT_EQ(m_host.UnloadIdleModules(), 1);
}

TEST_F(FactoryLibraryTest, EntryPointCreatesOtherComponentsWithTheDefaultConfiguration) {
    // No Mirel.ini lies beside the test program, so the default configuration names no module.
    CDebugCapture capture;
    EXPECT_EQ(m_host.EntryPoint(kMessageWindowComponentId, 5), nullptr);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>{"MirFact: no module for component 33 in " +
                                                        BinaryFile("Mirel.ini") + "\n"});
}

TEST_F(FactoryLibraryTest, LoadComponentConfigHandsOutTheConfiguredWords) {
    const std::string config = WriteConfiguration(
        "[ComponentConfig]\r\n"
        "795=7,-3\r\n"
        "796= 0x10 , 5\r\n"
        "797=4294967295,-2147483648\r\n"
        "798=010,1\r\n"
        "800=abc\r\n"
        "801=1\r\n"
        "802=1,2,3\r\n"
        "803=4294967296,0\r\n"
        "804=1,\r\n");
    const struct {
        int32_t nId;
        bool bFound;
        int32_t aWords[2];
        bool bTraced;
    } cases[] = {
        {795, true, {7, -3}, false},
        {796, true, {16, 5}, false},
        {797, true, {-1, INT32_MIN}, false},
        {798, true, {10, 1}, false},  // a leading zero is no octal prefix
        {799, false, {0, 0}, false},  // no record
        {800, false, {0, 0}, true},
        {801, false, {0, 0}, true},
        {802, false, {0, 0}, true},
        {803, false, {0, 0}, true},  // beyond 32 bits
        {804, false, {0, 0}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nId);
        // The record and its word at offset 4 are the module's; the factory only points at words.
        alignas(ComponentConfig) unsigned char record[sizeof(ComponentConfig)];
        memset(record, 0x5A, sizeof(record));
        auto* pConfig = reinterpret_cast<ComponentConfig*>(record);
        int32_t* pWords = nullptr;
        CDebugCapture capture;
        const int32_t nResult = m_pFactory->LoadComponentConfig(config.c_str(), c.nId, pConfig,
                                                                &pConfig->nWord4, &pWords);
        EXPECT_EQ(nResult, c.bFound ? 1 : 0);
        if (c.bFound) {
            ASSERT_NE(pWords, nullptr);
            EXPECT_EQ(pWords[0], c.aWords[0]);
            EXPECT_EQ(pWords[1], c.aWords[1]);
        } else {
            EXPECT_EQ(pWords, nullptr);
        }
        EXPECT_EQ(capture.Lines().size(), c.bTraced ? 1u : 0u);
        for (unsigned char byte : record) {
            ASSERT_EQ(byte, 0x5A);
        }
    }
}

TEST_F(FactoryLibraryTest, ConfigurationWordsStayValidWhileOthersAreHandedOut) {
    const std::string config =
        WriteConfiguration("[ComponentConfig]\r\n1=1,2\r\n2=3,4\r\n3=1,2\r\n");
    int32_t* pFirst = nullptr;
    m_pFactory->LoadComponentConfig(config.c_str(), 1, nullptr, nullptr, &pFirst);
    ASSERT_NE(pFirst, nullptr);
    for (int32_t nId : {2, 3, 2}) {
        int32_t* pOther = nullptr;
        m_pFactory->LoadComponentConfig(config.c_str(), nId, nullptr, nullptr, &pOther);
        ASSERT_NE(pOther, nullptr);
    }
    EXPECT_EQ(pFirst[0], 1);
    EXPECT_EQ(pFirst[1], 2);
    // A null record pointer address is refused rather than written through.
    EXPECT_EQ(m_pFactory->LoadComponentConfig(config.c_str(), 1, nullptr, nullptr, nullptr), 0);
}

TEST_F(FactoryLibraryTest, ModuleIsUnloadedOnlyWhenTheHostAsksAfterItsLastComponent) {
    const std::string config = WriteConfiguration();
    IComponent* pA = m_pFactory->CreateComponentByID(kMessageWindowComponentId, config.c_str());
    IComponent* pB = m_pFactory->CreateComponentByID(kMessageWindowComponentId, config.c_str());
    ASSERT_NE(pA, nullptr);
    ASSERT_NE(pB, nullptr);
    HMODULE hModule = GetModuleHandleA(kModuleName);
    ASSERT_NE(hModule, nullptr);

    // A notice that arrives while a component lives does not unload the module.
    m_pFactory->NotifyModuleUnloadable(hModule);
    EXPECT_EQ(m_host.UnloadIdleModules(), 0);
    EXPECT_EQ(GetModuleHandleA(kModuleName), hModule);
    EXPECT_EQ(pA->GetComponentID(), kMessageWindowComponentId);

    pA->Release(0);
    EXPECT_EQ(m_host.UnloadIdleModules(), 0);
    EXPECT_EQ(pB->GetComponentID(), kMessageWindowComponentId);

    // The last release sends the module's own notice, from inside Release: recorded only.
    pB->Release(0);
    EXPECT_EQ(GetModuleHandleA(kModuleName), hModule);
    EXPECT_EQ(m_host.LoadedModuleCount(), 1);

    EXPECT_EQ(m_host.UnloadIdleModules(), 1);
    EXPECT_FALSE(IsModuleLoaded(kModuleName));
    EXPECT_EQ(m_host.LoadedModuleCount(), 0);
    EXPECT_EQ(m_host.UnloadIdleModules(), 0);

    // The next request loads it again.
    IComponent* pC = m_pFactory->CreateComponentByID(kMessageWindowComponentId, config.c_str());
    ASSERT_NE(pC, nullptr);
    EXPECT_TRUE(IsModuleLoaded(kModuleName));
    pC->Release(0);
    EXPECT_EQ(m_host.UnloadIdleModules(), 1);
}

TEST_F(FactoryLibraryTest, IdleModuleWithoutItsNoticeStaysLoaded) {
    const std::string config = WriteConfiguration();
    IComponent* p = m_pFactory->CreateComponentByID(kMessageWindowComponentId, config.c_str());
    ASSERT_NE(p, nullptr);
    HMODULE hModule = GetModuleHandleA(kModuleName);
    // Point the module at a library without a factory, so that its idle notice goes nowhere.
    HMODULE hNoEntry = LoadLibraryA(BinaryFile("NoEntry.dll").c_str());
    ASSERT_NE(hNoEntry, nullptr);
    auto pfnSetFactoryHandle = reinterpret_cast<SetFactoryHandleFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(hModule, "SetFactoryHandle")));
    pfnSetFactoryHandle(hNoEntry);
    {
        CDebugCapture capture;  // the module's own lines about the unreachable factory
        p->Release(0);
    }
    EXPECT_EQ(m_host.UnloadIdleModules(), 0);
    EXPECT_TRUE(IsModuleLoaded(kModuleName));

    m_pFactory->NotifyModuleUnloadable(hModule);
    EXPECT_EQ(m_host.UnloadIdleModules(), 1);
    FreeLibrary(hNoEntry);
}

TEST_F(FactoryLibraryTest, ConcurrentRequestsShareOneLoadOfTheModule) {
    const std::string config = WriteConfiguration();
    constexpr int kThreads = 4;
    constexpr int kPerThread = 10;
    std::vector<IComponent*> components(kThreads * kPerThread, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                components[t * kPerThread + i] =
                    m_pFactory->CreateComponentByID(kMessageWindowComponentId, config.c_str());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (IComponent* p : components) {
        ASSERT_NE(p, nullptr);
    }
    EXPECT_EQ(m_host.LoadedModuleCount(), 1);
    for (IComponent* p : components) {
        p->Release(0);
    }
    EXPECT_EQ(m_host.UnloadIdleModules(), 1);
}

}  // namespace

namespace {

std::atomic<bool> NotifyEntered{false};
std::atomic<bool> NotifyMayReturn{false};
void HoldTheNotification() {
    NotifyEntered = true;
    for (int i = 0; i < 3000 && !NotifyMayReturn; ++i)
        Sleep(1);
}

template <class TFunction>
TFunction ModuleExport(HMODULE hModule, const char* szName) {
    return reinterpret_cast<TFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(hModule, szName)));
}

// The module's last release is still inside its idle notification (here held by the factory it
// notifies) when the host asks to unload idle modules: the module answers busy and stays.
TEST_F(FactoryLibraryTest, AModuleIsNotUnloadedWhileItsIdleNotificationRuns) {
    m_host.SetUnloadGracePeriod(0);
    const std::string config = WriteConfiguration();
    IComponent* p = m_pFactory->CreateComponentByID(kMessageWindowComponentId, config.c_str());
    ASSERT_NE(p, nullptr);
    HMODULE hModule = GetModuleHandleA(kModuleName);
    HMODULE hFake = LoadLibraryA(BinaryFile("FakeFactory.dll").c_str());
    ASSERT_NE(hFake, nullptr);
    FakeFactoryState* pState =
        ModuleExport<FakeFactoryGetStateFn>(hFake, kFakeFactoryGetStateName)();
    pState->pfnDuringNotify = HoldTheNotification;
    ModuleExport<SetFactoryHandleFn>(hModule, "SetFactoryHandle")(hFake);
    m_pFactory->NotifyModuleUnloadable(hModule);  // a notice left from an earlier idle time

    std::thread releaser([p] { p->Release(0); });
    while (!NotifyEntered)
        Sleep(1);
    EXPECT_EQ(m_host.UnloadIdleModules(), 0);
    EXPECT_TRUE(IsModuleLoaded(kModuleName));
    NotifyMayReturn = true;
    releaser.join();
    pState->pfnDuringNotify = nullptr;

    m_pFactory->NotifyModuleUnloadable(hModule);
    EXPECT_EQ(m_host.UnloadIdleModules(), 1);
    FreeLibrary(hFake);
    m_host.SetUnloadGracePeriod(kMirFactDefaultUnloadGracePeriodMs);
}

// Idle at the first answer, busy again within the grace period: the module stays.
TEST_F(FactoryLibraryTest, AModuleBusyAgainWithinTheGracePeriodStaysLoaded) {
    const std::string config = WriteConfiguration();
    IComponent* p = m_pFactory->CreateComponentByID(kMessageWindowComponentId, config.c_str());
    ASSERT_NE(p, nullptr);
    p->Release(0);
    m_host.SetUnloadGracePeriod(300);
    int32_t nUnloaded = -1;
    std::thread host([&] { nUnloaded = m_host.UnloadIdleModules(); });
    Sleep(100);
    IComponent* q = m_pFactory->CreateComponentByID(kMessageWindowComponentId, config.c_str());
    host.join();
    EXPECT_EQ(nUnloaded, 0);
    ASSERT_NE(q, nullptr);
    m_host.SetUnloadGracePeriod(0);
    q->Release(0);
    EXPECT_EQ(m_host.UnloadIdleModules(), 1);
    m_host.SetUnloadGracePeriod(kMirFactDefaultUnloadGracePeriodMs);
}

TEST_F(FactoryLibraryTest, TwoThreadsLoadingAModuleFirstConfigureItOnce) {
    const std::string config = m_dir.Write(
        "Mirel.ini", "[Components]\r\n4400=" + BinaryFile("MirelSlowConfig.dll") + "\r\n");
    std::thread other([&] { m_pFactory->CreateComponentByID(4400, config.c_str()); });
    IComponent* p = m_pFactory->CreateComponentByID(4400, config.c_str());
    other.join();
    ASSERT_NE(p, nullptr);
    HMODULE hModule = GetModuleHandleA("MirelSlowConfig.dll");
    EXPECT_EQ(ModuleExport<int32_t (*)()>(hModule, "SlowConfigCount")(), 1);
    m_pFactory->NotifyModuleUnloadable(hModule);
    EXPECT_EQ(m_host.UnloadIdleModules(), 1);
}

}  // namespace
