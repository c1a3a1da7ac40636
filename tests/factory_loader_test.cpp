// The factory loader and the component pointers against fixture factory libraries: every failure
// line with its exact text and order, who is called how often, and what is left alone.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "factory/factory_loader.h"
#include "base/module_state.h"
#include "tests/fixtures/fake_factory.h"
#include "platform/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using Lines = std::vector<std::string>;

const char kCantFindLine[] = "[Mirel_Error] Can't find CreateComponent().\n";
const char kLoadFailLine[] = "[Mirel_Error] Load MirFact.dll Fail.\n";
const char kNoFactoryLine[] = "[Mirel_Error] Create ComponentFactory in MirFact.dll Fail\n";
const char kIdZeroLine[] = "[Mirel_Error] TMirelPtr with ComponentId = 0\n";

std::string FixturePath(const char* szName) {
    return ExecutableDirectory() + "\\" + szName;
}

FakeFactoryState* StateOf(HMODULE hModule) {
    FARPROC pfnProc = GetProcAddress(hModule, kFakeFactoryGetStateName);
    if (pfnProc == nullptr) {
        return nullptr;
    }
    auto pfnGetState =
        reinterpret_cast<FakeFactoryGetStateFn>(reinterpret_cast<void (*)()>(pfnProc));
    return pfnGetState();
}

class FactoryLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_hFake = LoadLibraryA(FixturePath("FakeFactory.dll").c_str());
        m_hNoEntry = LoadLibraryA(FixturePath("NoEntry.dll").c_str());
        ASSERT_NE(nullptr, m_hFake);
        ASSERT_NE(nullptr, m_hNoEntry);
        m_pState = StateOf(m_hFake);
        ASSERT_NE(nullptr, m_pState);
        memset(m_pState, 0, sizeof(*m_pState));
        FactoryHandle = nullptr;
        RegistryPath[0] = 0;
    }
    void TearDown() override {
        FactoryHandle = nullptr;
        RegistryPath[0] = 0;
    }

    // A new configuration file whose "DLL" names the given file. Each gets a name of its own, so
    // that no profile reader can answer from a cached earlier version.
    std::string WriteConfig(const std::string& dllPath) {
        std::string name = "Mirel" + std::to_string(++m_nConfigFiles) + ".ini";
        return m_dir.Write(name, "[361]\r\nDLL=" + dllPath + "\r\n");
    }

    CTempDir m_dir;
    HMODULE m_hFake = nullptr;
    HMODULE m_hNoEntry = nullptr;
    FakeFactoryState* m_pState = nullptr;
    int m_nConfigFiles = 0;
};

TEST(TraceFactoryError, WritesTheTextAsFormattedAndCutsAt1022) {
    CDebugCapture capture;
    TraceFactoryError("[Mirel_Error] CreateComponent(ComponentId=%u) return null.\n", 361u);
    TraceFactoryError("%s", std::string(2000, 'x').c_str());
    TraceFactoryError("no line feed");
    Lines lines = capture.Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("[Mirel_Error] CreateComponent(ComponentId=361) return null.\n", lines[0]);
    EXPECT_EQ(std::string(1022, 'x'), lines[1]);
    EXPECT_EQ("no line feed", lines[2]);
}

TEST(TraceFactoryError, ANullFormatWritesAnEmptyLine) {
    CDebugCapture capture;
    const char* volatile szFormat = nullptr;
    TraceFactoryError(szFormat, 0);
    EXPECT_EQ(Lines{""}, capture.Lines());
}

TEST_F(FactoryLoaderTest, CreateFactoryFromModuleCallsTheEntryWithCreatorZero) {
    CDebugCapture capture;
    EXPECT_EQ(nullptr, CreateFactoryFromModule(m_hNoEntry, kFactoryComponentId));
    EXPECT_EQ(Lines{kCantFindLine}, capture.Lines());

    capture.Clear();
    m_pState->bEntryReturnsNull = 1;
    EXPECT_EQ(nullptr, CreateFactoryFromModule(m_hFake, kTimerComponentId));
    EXPECT_EQ(Lines{"[Mirel_Error] CreateComponent(ComponentId=795) return null.\n"},
              capture.Lines());

    capture.Clear();
    m_pState->bEntryReturnsNull = 0;
    IComponentFactory* pFactory = CreateFactoryFromModule(m_hFake, kFactoryComponentId);
    ASSERT_NE(nullptr, pFactory);
    EXPECT_EQ(kFactoryComponentId, pFactory->GetComponentID());
    EXPECT_EQ(2, m_pState->nEntryCalls);
    EXPECT_EQ(kFactoryComponentId, m_pState->nLastEntryId);
    EXPECT_EQ(0u, m_pState->nLastEntryCreator);
    EXPECT_TRUE(capture.Lines().empty());
}

// Each way of not getting a factory, with the lines in the order they must come.
TEST_F(FactoryLoaderTest, LoadFactoryFailureLines) {
    struct Case {
        const char* szLabel;
        HMODULE hFactoryHandle;
        const char* szDll;  // used when no handle is set
        int32_t bEntryReturnsNull;
        Lines expected;
        bool bFactory;
    } const cases[] = {
        {"handle without entry point", m_hNoEntry, "", 0, {kCantFindLine, kNoFactoryLine}, false},
        {"entry point returns null",
         m_hFake,
         "",
         1,
         {"[Mirel_Error] CreateComponent(ComponentId=361) return null.\n", kNoFactoryLine},
         false},
        {"configured library missing", nullptr, "Missing.dll", 0, {kLoadFailLine}, false},
        {"configured library without entry point",
         nullptr,
         "NoEntry.dll",
         0,
         {kCantFindLine, kNoFactoryLine},
         false},
        {"configured library", nullptr, "FakeFactory.dll", 0, {}, true},
        {"handle given", m_hFake, "", 0, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szLabel);
        FactoryHandle = c.hFactoryHandle;
        std::string config = WriteConfig(FixturePath(c.szDll));
        m_pState->bEntryReturnsNull = c.bEntryReturnsNull;
        CDebugCapture capture;
        IComponentFactory* pFactory = LoadFactory(config.c_str());
        EXPECT_EQ(c.bFactory, pFactory != nullptr);
        EXPECT_EQ(c.expected, capture.Lines());
    }
}

TEST_F(FactoryLoaderTest, CreateComponentIntoWithoutAddressDoesNothing) {
    FactoryHandle = m_hFake;
    CDebugCapture capture;
    EXPECT_EQ(0, CreateComponentInto(nullptr, kMessageWindowComponentId, nullptr));
    EXPECT_EQ(0, m_pState->nEntryCalls);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(FactoryLoaderTest, CreateComponentIntoHandsTheComponentOver) {
    FactoryHandle = m_hFake;
    CDebugCapture capture;
    IComponent* pComponent = nullptr;
    ASSERT_EQ(1, CreateComponentInto(&pComponent, kMessageWindowComponentId, "Z:\\x\\y.ini"));
    ASSERT_NE(nullptr, pComponent);
    EXPECT_EQ(kMessageWindowComponentId, pComponent->GetComponentID());
    EXPECT_EQ(kMessageWindowComponentId, m_pState->factory.nLastCreateId);
    EXPECT_STREQ("Z:\\x\\y.ini", m_pState->factory.szLastCreatePath);
    EXPECT_EQ(1, m_pState->created.nSetAutoFreeCalls);
    EXPECT_EQ(0, m_pState->created.nLastAutoFree);
    EXPECT_EQ(0, m_pState->created.nReleaseCalls);
    EXPECT_EQ(0, m_pState->factory.nReleaseCalls);
    EXPECT_TRUE(capture.Lines().empty());
    pComponent->Release(0);
}

TEST_F(FactoryLoaderTest, CreateComponentIntoFailureKeepsTheVariable) {
    IComponent* const pSentinel = reinterpret_cast<IComponent*>(static_cast<uintptr_t>(0x1234));
    {
        SCOPED_TRACE("factory library without entry point");
        FactoryHandle = m_hNoEntry;
        CDebugCapture capture;
        IComponent* pComponent = pSentinel;
        EXPECT_EQ(0, CreateComponentInto(&pComponent, kMessageWindowComponentId, nullptr));
        EXPECT_EQ(pSentinel, pComponent);
        EXPECT_EQ((Lines{kCantFindLine, kNoFactoryLine}), capture.Lines());
    }
    {
        // The factory's refusal is not traced.
        SCOPED_TRACE("factory creates nothing");
        FactoryHandle = m_hFake;
        m_pState->bCreateReturnsNull = 1;
        CDebugCapture capture;
        IComponent* pComponent = pSentinel;
        EXPECT_EQ(0, CreateComponentInto(&pComponent, kMessageWindowComponentId, nullptr));
        EXPECT_EQ(pSentinel, pComponent);
        EXPECT_EQ(1, m_pState->factory.nCreateCalls);
        EXPECT_TRUE(capture.Lines().empty());
    }
}

// With no path of its own the pointer takes RegistryPath, for the loading (here the only way to
// the library, as no handle is set) and for the creation call alike.
TEST_F(FactoryLoaderTest, NullOrEmptyPathMeansRegistryPath) {
    std::string config = WriteConfig(FixturePath("FakeFactory.dll"));
    ASSERT_LT(config.size(), sizeof(RegistryPath));
    strcpy(RegistryPath, config.c_str());
    const char* const apszPaths[] = {nullptr, ""};
    for (const char* szPath : apszPaths) {
        SCOPED_TRACE(szPath == nullptr ? "null" : "empty");
        memset(m_pState, 0, sizeof(*m_pState));
        IComponent* pComponent = nullptr;
        ASSERT_EQ(1, CreateComponentInto(&pComponent, kMessageWindowComponentId, szPath));
        EXPECT_EQ(1, m_pState->nEntryCalls);
        EXPECT_EQ(config, m_pState->factory.szLastCreatePath);
        pComponent->Release(0);
    }
}

// Overwrites the stack below the caller's frame, where the frames of its finished calls were.
__attribute__((noinline)) void ScribbleOnTheStack() {
    volatile char scribble[16 * 1024];
    for (size_t i = 0; i < sizeof(scribble); ++i)
        scribble[i] = 'x';
}

// The factory may keep the module's path after the call: it stays readable and unchanged.
TEST_F(FactoryLoaderTest, TheModulesPathOutlivesTheCallThatHandsItOver) {
    const std::string config = WriteConfig(FixturePath("FakeFactory.dll"));
    StoreRegistryPath(config.c_str());
    IComponent* pComponent = nullptr;
    ASSERT_EQ(1, CreateComponentInto(&pComponent, kMessageWindowComponentId, nullptr));
    pComponent->Release(0);
    ScribbleOnTheStack();
    StoreRegistryPath("Z:\\another\\Mirel.ini");
    ASSERT_NE(m_pState->factory.pKeptCreatePath, nullptr);
    EXPECT_EQ(config, m_pState->factory.pKeptCreatePath);
}

TEST_F(FactoryLoaderTest, ComponentIdZeroIsTracedAndStillAsked) {
    FactoryHandle = m_hFake;
    CDebugCapture capture;
    {
        TMirelPtr pointer(nullptr, 0);
        EXPECT_EQ(1, m_pState->factory.nCreateCalls);
        EXPECT_EQ(0, m_pState->factory.nLastCreateId);
        EXPECT_NE(nullptr, pointer.m_pComponent);
    }
    EXPECT_EQ(Lines{kIdZeroLine}, capture.Lines());
}

TEST_F(FactoryLoaderTest, EndingTMirelPtrReleasesOnceAndLeavesTheFactoryAlone) {
    FactoryHandle = m_hFake;
    int32_t nFactoryCalls = 0;
    {
        TMirelPtr pointer("Z:\\x\\y.ini", kMessageWindowComponentId);
        ASSERT_NE(nullptr, pointer.m_pComponent);
        ASSERT_NE(nullptr, pointer.m_pFactory);
        nFactoryCalls = m_pState->factory.nCalls;
        EXPECT_EQ(0, m_pState->created.nReleaseCalls);
    }
    EXPECT_EQ(1, m_pState->created.nReleaseCalls);
    EXPECT_EQ(0, m_pState->created.nLastReleaseForce);
    EXPECT_EQ(nFactoryCalls, m_pState->factory.nCalls);
    EXPECT_EQ(0, m_pState->factory.nReleaseCalls);
}

TEST_F(FactoryLoaderTest, TFactoryPtrAsksForTheFactoryComponentAndEndsSilently) {
    FactoryHandle = m_hFake;
    strcpy(RegistryPath, "Z:\\conf\\Mirel.ini");
    CDebugCapture capture;
    int32_t nFactoryCalls = 0;
    int32_t nCreatedCalls = 0;
    {
        TFactoryPtr pointer;
        ASSERT_NE(nullptr, pointer.m_pComponent);
        EXPECT_EQ(kFactoryComponentId, m_pState->nLastEntryId);
        EXPECT_EQ(kFactoryComponentId, m_pState->factory.nLastCreateId);
        EXPECT_STREQ("Z:\\conf\\Mirel.ini", m_pState->factory.szLastCreatePath);
        EXPECT_EQ(1, m_pState->created.nSetAutoFreeCalls);
        EXPECT_EQ(1, m_pState->created.nLastAutoFree);
        nFactoryCalls = m_pState->factory.nCalls;
        nCreatedCalls = m_pState->created.nCalls;
    }
    EXPECT_EQ(nFactoryCalls, m_pState->factory.nCalls);
    EXPECT_EQ(nCreatedCalls, m_pState->created.nCalls);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(FactoryLoaderTest, TFactoryPtrWithoutLibraryHoldsNothing) {
    strcpy(RegistryPath, WriteConfig(FixturePath("Missing.dll")).c_str());
    CDebugCapture capture;
    TFactoryPtr pointer;
    EXPECT_EQ(nullptr, pointer.m_pFactory);
    EXPECT_EQ(nullptr, pointer.m_pComponent);
    EXPECT_EQ(Lines{kLoadFailLine}, capture.Lines());
}

// FindLoadedFactory only looks at what is loaded under the factory library's name, so the test
// loads copies of the fixtures under that name from a folder of its own.
class FindLoadedFactoryTest : public FactoryLoaderTest {
protected:
    HMODULE LoadAsFactoryLibrary(const char* szFixture) {
        std::string copy = m_dir.CopyIn(FixturePath(szFixture), "MirFact.dll");
        return LoadLibraryA(copy.c_str());
    }
};

TEST_F(FindLoadedFactoryTest, NotLoadedGivesNullSilently) {
    ASSERT_EQ(nullptr, GetModuleHandleA("MirFact.dll"));
    FactoryHandle = m_hFake;
    CDebugCapture capture;
    EXPECT_EQ(nullptr, FindLoadedFactory());
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_EQ(0, m_pState->nEntryCalls);
}

TEST_F(FindLoadedFactoryTest, LoadedLibraryOutcomes) {
    struct Case {
        const char* szLabel;
        const char* szFixture;
        int32_t bEntryReturnsNull;
        Lines expected;
        bool bFactory;
    } const cases[] = {
        {"library without entry point",
         "NoEntry.dll",
         0,
         {"Can't find CreateComponent() in MirFact.dll or MirFact.dll is missed\n"},
         false},
        {"entry point returns null",
         "FakeFactory.dll",
         1,
         {"Invoke CreateComponent() in MirFact.dll return null.\n"},
         false},
        {"factory", "FakeFactory.dll", 0, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szLabel);
        ASSERT_EQ(nullptr, GetModuleHandleA("MirFact.dll"));
        HMODULE hCopy = LoadAsFactoryLibrary(c.szFixture);
        ASSERT_NE(nullptr, hCopy);
        FakeFactoryState* pCopyState = StateOf(hCopy);
        if (pCopyState != nullptr) {
            memset(pCopyState, 0, sizeof(*pCopyState));
            pCopyState->bEntryReturnsNull = c.bEntryReturnsNull;
        }
        {
            CDebugCapture capture;
            IComponentFactory* pFactory = FindLoadedFactory();
            EXPECT_EQ(c.bFactory, pFactory != nullptr);
            EXPECT_EQ(c.expected, capture.Lines());
        }
        if (pCopyState != nullptr) {
            EXPECT_EQ(1, pCopyState->nEntryCalls);
            EXPECT_EQ(kFactoryComponentId, pCopyState->nLastEntryId);
            EXPECT_EQ(0u, pCopyState->nLastEntryCreator);
        }
        // The library loaded by the test itself is untouched.
        EXPECT_EQ(0, m_pState->nEntryCalls);
        FreeLibrary(hCopy);
    }
}

}  // namespace
