// Configuration resolution: the path tests and builders, the executable's directory, the chain of
// redirections (with its bound) and the ways the factory library's path is put together, with
// real configuration files in a temporary folder.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "factory/config_resolution.h"
#include "base/module_state.h"
#include "tests/support/resolution_fixtures.h"
#include "tests/support/temp_dir.h"

namespace {

using Events = std::vector<std::string>;

const char* RuleName(EStartRule eRule) {
    switch (eRule) {
        case EStartRule::kDefaultName:
            return "default";
        case EStartRule::kRelativeToExe:
            return "exe";
        case EStartRule::kAsGiven:
            return "given";
    }
    return "?";
}

const char* RuleName(ERedirectRule eRule) {
    switch (eRule) {
        case ERedirectRule::kNone:
            return "none";
        case ERedirectRule::kRelative:
            return "relative";
        case ERedirectRule::kAbsolute:
            return "absolute";
        case ERedirectRule::kCycle:
            return "cycle";
        case ERedirectRule::kLimit:
            return "limit";
    }
    return "?";
}

const char* RuleName(EModulePathRule eRule) {
    switch (eRule) {
        case EModulePathRule::kAbsoluteDll:
            return "absolute DLL";
        case EModulePathRule::kConfigDirByFlag:
            return "flag";
        case EModulePathRule::kConfigDir:
            return "config dir";
        case EModulePathRule::kAbsoluteDefaultDir:
            return "absolute DllPath";
        case EModulePathRule::kRelativeDefaultDir:
            return "relative DllPath";
    }
    return "?";
}

// Writes every step down as one line of text, in the order the resolution takes them.
class CRecordingObserver : public IResolutionObserver {
public:
    void OnStartFile(const char* szRegistryPath, EStartRule eRule,
                     const char* szStartFile) override {
        m_events.push_back(std::string("start ") + RuleName(eRule) + " " +
                           (szRegistryPath != nullptr ? szRegistryPath : "(null)") + " -> " +
                           szStartFile);
    }
    void OnRedirect(const char* szFile, const char* szValue, ERedirectRule eRule,
                    const char* szNextFile) override {
        m_events.push_back(std::string("redirect ") + RuleName(eRule) + " " + szFile + " [" +
                           szValue + "] -> " + szNextFile);
    }
    void OnConfigFile(const char* szConfigFile) override {
        m_events.push_back(std::string("config ") + szConfigFile);
    }
    void OnKey(const char* szSection, const char* szKey, const char* szRaw,
               const char* szUsed) override {
        m_events.push_back(std::string("key ") + szSection + "/" + szKey + " [" + szRaw + "] [" +
                           szUsed + "]");
    }
    void OnModulePath(EModulePathRule eRule, const char* szModulePath) override {
        m_events.push_back(std::string("path ") + RuleName(eRule) + " " + szModulePath);
        m_eLastRule = eRule;
    }

    Events m_events;
    EModulePathRule m_eLastRule = EModulePathRule::kAbsoluteDll;
};

std::string ResolveConfig(const char* szRegistryPath, IResolutionObserver* pObserver = nullptr) {
    char szConfig[kPathBufferSize];
    memset(szConfig, 'x', sizeof(szConfig));
    ResolveConfigFile(szRegistryPath, szConfig, kPathBufferSize, pObserver);
    return szConfig;
}

std::string ResolveDll(const std::string& configFile, IResolutionObserver* pObserver = nullptr) {
    char szPath[kPathBufferSize];
    memset(szPath, 'x', sizeof(szPath));
    ResolveFactoryDllPath(configFile.c_str(), szPath, kPathBufferSize, pObserver);
    return szPath;
}

// The events a fixture's first stage gives: its start file (always an absolute registry path)
// and every file of the chain.
Events ExpectedChain(const ResolutionFixture& fixture) {
    Events events{"start given " + fixture.start + " -> " + fixture.start};
    for (const RedirectStep& step : fixture.redirects) {
        events.push_back(std::string("redirect ") + RuleName(step.eRule) + " " + step.file + " [" +
                         step.value + "] -> " + step.next);
    }
    return events;
}

// The events of its second stage: the configuration file, the keys read, the path.
Events ExpectedModulePath(const ResolutionFixture& fixture) {
    Events events{"config " + fixture.configFile};
    for (const KeyRead& key : fixture.keys) {
        events.push_back("key " + key.section + "/" + key.key + " [" + key.raw + "] [" + key.used +
                         "]");
    }
    events.push_back(std::string("path ") + RuleName(fixture.eRule) + " " + fixture.modulePath);
    return events;
}

// ---- Path tests and builders ------------------------------------------------------------------

TEST(PathTests, BlankRelativeAndSeparator) {
    struct Case {
        const char* szPath;
        int nBlank;
        int nRelative;
        int nSeparator;
    } const cases[] = {
        {nullptr, 1, 1, kNoSeparator},
        {"", 1, 1, kNoSeparator},
        {" \t ", 1, 1, kNoSeparator},
        {" x", 0, 1, kNoSeparator},
        {"sub\\x.ini", 0, 1, 3},
        {"/x.ini", 0, 1, 0},
        {"\\x.ini", 0, 0, 0},
        {"C:x.ini", 0, 0, kNoSeparator},
        {"C:\\a/b\\c/d", 0, 0, 6},  // a backslash wins over a later slash
        {"a/b/c", 0, 1, 3},
        {"dir\\name:stream", 0, 0, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szPath != nullptr ? c.szPath : "(null)");
        EXPECT_EQ(c.nBlank, IsBlank(c.szPath));
        EXPECT_EQ(c.nRelative, IsRelativePath(c.szPath));
        EXPECT_EQ(c.nSeparator, FindLastSeparator(c.szPath));
    }
}

TEST(TrimBlanks, KeepsInnerBlanksAndDropsOuterOnes) {
    struct Case {
        const char* szValue;
        int nSize;
        const char* szExpected;
    } const cases[] = {
        {"MirFact.dll", 260, "MirFact.dll"},
        {" \t MirFact.dll", 260, "MirFact.dll"},
        {"MirFact.dll \t ", 260, "MirFact.dll"},
        {"  C:\\Program Files\\MirFact.dll  ", 260, "C:\\Program Files\\MirFact.dll"},
        {" \t  ", 260, ""},
        {"", 260, ""},
        {nullptr, 260, ""},
        {" 1 ", 10, "1"},
        {"123456789", 10, "123456789"},
        {"1234567890", 10, ""},    // does not fit: empty, not cut
        {" 1234567890 ", 10, ""},  // the same with blanks to trim
        {"  123456789   ", 10, "123456789"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szValue != nullptr ? c.szValue : "(null)");
        char szDest[261];
        memset(szDest, 'x', sizeof(szDest));
        TrimBlanks(c.szValue, szDest, c.nSize);
        EXPECT_STREQ(c.szExpected, szDest);
        EXPECT_EQ('x', szDest[c.nSize]);
    }
}

TEST(PathBuilders, MakeSiblingPath) {
    struct Case {
        const char* szFile;
        const char* szName;
        int nSize;
        const char* szExpected;
    } const cases[] = {
        {"C:\\App\\Mirel.ini", "conf\\main.ini", 260, "C:\\App\\conf\\main.ini"},
        {"C:/App/Mirel.ini", "x.dll", 260, "C:/App/x.dll"},
        {"C:Mirel.ini", "x.dll", 260, "C:Mirel.ini\\x.dll"},  // no separator: the whole path
        {"C:\\App\\Mirel.ini", "", 260, "C:\\App\\"},
        {"C:\\App\\Mirel.ini", "toolong", 12, "C:\\App\\"},  // the name is left out
        {"C:\\Application\\Mirel.ini", "x", 10, "x"},        // the directory is left out
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.szFile) + " + " + c.szName);
        char szDest[260];
        memset(szDest, 'x', sizeof(szDest));
        EXPECT_EQ(1, MakeSiblingPath(c.szFile, c.szName, szDest, c.nSize));
        EXPECT_STREQ(c.szExpected, szDest);
    }
    char szDest[8] = "old";
    EXPECT_EQ(0, MakeSiblingPath(nullptr, "x", szDest, sizeof(szDest)));
    EXPECT_EQ(0, MakeSiblingPath("C:\\a", nullptr, szDest, sizeof(szDest)));
    EXPECT_EQ(0, MakeSiblingPath("C:\\a", "x", szDest, 0));
    EXPECT_STREQ("old", szDest);
}

TEST(PathBuilders, JoinDirectory) {
    struct Case {
        const char* szBase;
        const char* szName;
        int nSize;
        const char* szExpected;
    } const cases[] = {
        {"bin", "MirFact.dll", 260, "bin\\MirFact.dll"},
        {"C:\\lib\\", "MirFact.dll", 260, "C:\\lib\\\\MirFact.dll"},  // always one more
        {"", "MirFact.dll", 260, "MirFact.dll"},
        {" \t", "MirFact.dll", 260, "MirFact.dll"},
        {nullptr, "MirFact.dll", 260, "MirFact.dll"},
        {"bin", "", 260, "bin\\"},
        {"bin", "MirFact.dll", 8, "bin\\"},  // the name does not fit and is left out
        {"", "MirFact.dll", 8, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.szBase != nullptr ? c.szBase : "(null)") + " + " + c.szName);
        char szDest[260];
        memset(szDest, 'x', sizeof(szDest));
        JoinDirectory(c.szBase, c.szName, szDest, c.nSize);
        EXPECT_STREQ(c.szExpected, szDest);
    }
}

// ---- The executable's directory -----------------------------------------------------------------

TEST(ExeDirectory, IsTheExecutablesFolderWithoutTrailingBackslash) {
    const char* szDirectory = GetExeDirectory();
    EXPECT_EQ(ExecutableDirectory(), szDirectory);
    ASSERT_GT(strlen(szDirectory), 0u);
    EXPECT_NE('\\', szDirectory[strlen(szDirectory) - 1]);
    // Cached: the same buffer every time.
    EXPECT_EQ(szDirectory, GetExeDirectory());
}

TEST(ExeDirectory, MakeExePathJoinsWithOneBackslashAndShortens) {
    const std::string directory = ExecutableDirectory();
    char szPath[kPathBufferSize];
    ASSERT_EQ(1, MakeExePath("Mirel.ini", szPath, kPathBufferSize));
    EXPECT_EQ(directory + "\\Mirel.ini", szPath);

    const std::string longName(400, 'n');
    memset(szPath, 'x', sizeof(szPath));
    ASSERT_EQ(1, MakeExePath(longName.c_str(), szPath, kPathBufferSize));
    EXPECT_EQ(258u, strlen(szPath));
    EXPECT_EQ((directory + "\\" + longName).substr(0, 258), szPath);

    EXPECT_EQ(0, MakeExePath(nullptr, szPath, kPathBufferSize));
    EXPECT_EQ(0, MakeExePath("x", szPath, 1));
    EXPECT_EQ(0, MakeExePath("x", nullptr, kPathBufferSize));
}

// Two threads that ask an empty cache at the same moment both get the full directory, and the
// same buffer. Run under the thread sanitizer this also shows the fill is free of races.
TEST(ExeDirectory, FirstFillFromTwoThreads) {
    const std::string expected = ExecutableDirectory();
    alignas(CExeDirectoryCache) unsigned char storage[sizeof(CExeDirectoryCache)];
    for (int nRound = 0; nRound < 50; ++nRound) {
        CExeDirectoryCache* pCache = new (storage) CExeDirectoryCache();
        std::atomic<int> nWaiting{2};
        const char* apszResults[2] = {nullptr, nullptr};
        auto ask = [&](int nIndex) {
            nWaiting.fetch_sub(1);
            while (nWaiting.load() != 0) {
                std::this_thread::yield();
            }
            apszResults[nIndex] = pCache->Get();
        };
        std::thread first(ask, 0);
        std::thread second(ask, 1);
        first.join();
        second.join();
        ASSERT_EQ(expected, apszResults[0]) << "round " << nRound;
        ASSERT_EQ(apszResults[0], apszResults[1]) << "round " << nRound;
        pCache->~CExeDirectoryCache();
    }
}

// ---- Stage 1: the start file and the chain of redirections -------------------------------------

TEST(ResolveConfigFile, StartFile) {
    const std::string exe = ExecutableDirectory();
    struct Case {
        const char* szRegistryPath;
        std::string expected;
    } const cases[] = {
        {nullptr, "start default (null) -> " + exe + "\\Mirel.ini"},
        {"", "start default  -> " + exe + "\\Mirel.ini"},
        {"sub\\x.ini", "start exe sub\\x.ini -> " + exe + "\\sub\\x.ini"},
        {"/x.ini", "start exe /x.ini -> " + exe + "\\/x.ini"},
        {"C:x.ini", "start given C:x.ini -> C:x.ini"},
        {"\\x.ini", "start given \\x.ini -> \\x.ini"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        CRecordingObserver observer;
        ResolveConfig(c.szRegistryPath, &observer);
        ASSERT_FALSE(observer.m_events.empty());
        EXPECT_EQ(c.expected, observer.m_events[0]);
    }
}

// Blank, relative (final even when the target redirects), absolute chains, cycles entered at
// either end, a file that names itself, the bound on a long chain and a missing start file.
TEST(ResolveConfigFile, RedirectChains) {
    for (const ResolutionFixture& shared : RedirectFixtures()) {
        SCOPED_TRACE(shared.label);
        CTempDir dir;
        const ResolutionFixture fixture = WriteFixture(shared, dir);
        CRecordingObserver observer;
        EXPECT_EQ(fixture.configFile, ResolveConfig(fixture.start.c_str(), &observer));
        EXPECT_EQ(ExpectedChain(fixture), observer.m_events);
    }
}

TEST(ResolveConfigFile, StartFileTooLongForTheBufferGivesNothing) {
    const std::string longPath = "C:\\" + std::string(300, 'd') + "\\Mirel.ini";
    EXPECT_EQ("", ResolveConfig(longPath.c_str()));
}

// ---- Stage 2: the factory library's path -------------------------------------------------------

// Every row of the outcome table, with the keys each one reads and only those.
TEST(ResolveFactoryDllPath, OutcomeTable) {
    for (const ResolutionFixture& shared : OutcomeFixtures()) {
        SCOPED_TRACE(shared.label);
        CTempDir dir;
        const ResolutionFixture fixture = WriteFixture(shared, dir);
        CRecordingObserver observer;
        EXPECT_EQ(fixture.modulePath, ResolveDll(fixture.configFile, &observer));
        EXPECT_EQ(RuleName(fixture.eRule), std::string(RuleName(observer.m_eLastRule)));
        EXPECT_EQ(ExpectedModulePath(fixture), observer.m_events);
    }
}

// A configuration file without any separator stands for its own directory. (The other piece that
// may not fit, an over-long "DLL" value, is a row of the shared outcome fixtures.)
TEST(ResolveFactoryDllPath, ConfigFileWithoutSeparatorIsItsOwnDirectory) {
    EXPECT_EQ("C:nowhere.ini\\", ResolveDll("C:nowhere.ini"));
}

// Both stages as LoadFactoryModule runs them, for every shared configuration, the worked example
// among them: each step in order and the final path.
TEST(ResolveFactoryModulePath, EveryFixtureStepByStep) {
    for (const ResolutionFixture& shared : AllResolutionFixtures()) {
        SCOPED_TRACE(shared.label);
        CTempDir dir;
        const ResolutionFixture fixture = WriteFixture(shared, dir);
        CRecordingObserver observer;
        char szPath[kPathBufferSize];
        memset(szPath, 'x', sizeof(szPath));
        ResolveFactoryModulePath(fixture.start.c_str(), szPath, kPathBufferSize, &observer);
        EXPECT_EQ(fixture.modulePath, szPath);
        Events expected = ExpectedChain(fixture);
        for (std::string& event : ExpectedModulePath(fixture)) {
            expected.push_back(std::move(event));
        }
        EXPECT_EQ(expected, observer.m_events);
    }
}

// ---- Loading
// ---------------------------------------------------------------------------------------

TEST(LoadFactoryModule, GivenHandleIsReturnedWithoutResolving) {
    HMODULE hGiven = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x5000));
    FactoryHandle = hGiven;
    EXPECT_EQ(hGiven, LoadFactoryModule(nullptr));
    EXPECT_EQ(hGiven, LoadFactoryModule("Z:\\no\\such\\file.ini"));
    FactoryHandle = nullptr;
}

TEST(LoadFactoryModule, LoadsTheResolvedLibraryOrGivesNull) {
    CTempDir dir;
    const std::string fixture = ExecutableDirectory() + "\\NoEntry.dll";
    const std::string good = dir.Write("good.ini", "[361]\r\nDLL=" + fixture + "\r\n");
    const std::string missing = dir.Write("missing.ini", "[361]\r\nDLL=Missing.dll\r\n");
    const std::string empty = dir.Write("empty.ini", "");
    ASSERT_EQ(nullptr, FactoryHandle);

    HMODULE hModule = LoadFactoryModule(good.c_str());
    ASSERT_NE(nullptr, hModule);
    EXPECT_EQ(GetModuleHandleA(fixture.c_str()), hModule);
    FreeLibrary(hModule);
    EXPECT_EQ(nullptr, LoadFactoryModule(missing.c_str()));
    // No "DLL" at all names a directory, which does not load.
    EXPECT_EQ(nullptr, LoadFactoryModule(empty.c_str()));
    // A start file too long for its buffer leaves only a separator, which does not load either.
    const std::string longPath = "C:\\" + std::string(300, 'd') + "\\Mirel.ini";
    EXPECT_EQ(nullptr, LoadFactoryModule(longPath.c_str()));
}

}  // namespace
