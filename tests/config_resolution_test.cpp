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
#include "module/module_state.h"
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

TEST(ResolveConfigFile, AbsentFileWithoutRedirectIsItsOwnResult) {
    CTempDir dir;
    const std::string missing = dir.File("missing.ini");
    EXPECT_EQ(missing, ResolveConfig(missing.c_str()));
    const std::string blank = dir.Write("blank.ini", "[Redirect]\r\nPath= \t \r\n");
    EXPECT_EQ(blank, ResolveConfig(blank.c_str()));
}

TEST(ResolveConfigFile, RelativeRedirectIsFinal) {
    CTempDir dir;
    const std::string start = dir.Write("Mirel.ini", "[Redirect]\r\nPath=conf\\main.ini\r\n");
    // The target's own redirection is not read.
    dir.Write("conf\\main.ini", "[Redirect]\r\nPath=" + dir.File("other.ini") + "\r\n");
    CRecordingObserver observer;
    EXPECT_EQ(dir.File("conf\\main.ini"), ResolveConfig(start.c_str(), &observer));
    EXPECT_EQ((Events{"start given " + start + " -> " + start, "redirect relative " + start +
                                                                   " [conf\\main.ini] -> " +
                                                                   dir.File("conf\\main.ini")}),
              observer.m_events);
}

TEST(ResolveConfigFile, AbsoluteRedirectsAreFollowedToTheLastFile) {
    CTempDir dir;
    const std::string a = dir.Write("a.ini", "[Redirect]\r\nPath=" + dir.File("b.ini") + "\r\n");
    const std::string b = dir.Write("b.ini", "[Redirect]\r\nPath=" + dir.File("c.ini") + "\r\n");
    // The last absolute target may itself redirect relatively, which then ends the chain.
    const std::string c = dir.Write("c.ini", "[Redirect]\r\nPath=sub\\d.ini\r\n");
    CRecordingObserver observer;
    EXPECT_EQ(dir.File("sub\\d.ini"), ResolveConfig(a.c_str(), &observer));
    EXPECT_EQ(
        (Events{"start given " + a + " -> " + a, "redirect absolute " + a + " [" + b + "] -> " + b,
                "redirect absolute " + b + " [" + c + "] -> " + c,
                "redirect relative " + c + " [sub\\d.ini] -> " + dir.File("sub\\d.ini")}),
        observer.m_events);
}

// A chain that comes back to a file it has read stops, and the last file read is used.
TEST(ResolveConfigFile, CycleOfAbsoluteRedirectsEndsAtTheLastNewFile) {
    CTempDir dir;
    const std::string a = dir.File("a.ini");
    const std::string b = dir.File("b.ini");
    dir.Write("a.ini", "[Redirect]\r\nPath=" + b + "\r\n");
    dir.Write("b.ini", "[Redirect]\r\nPath=" + a + "\r\n");
    dir.Write("self.ini", "[Redirect]\r\nPath=" + dir.File("self.ini") + "\r\n");

    CRecordingObserver observer;
    EXPECT_EQ(b, ResolveConfig(a.c_str(), &observer));
    EXPECT_EQ("redirect cycle " + b + " [" + a + "] -> " + b, observer.m_events.back());
    EXPECT_EQ(a, ResolveConfig(b.c_str()));
    EXPECT_EQ(dir.File("self.ini"), ResolveConfig(dir.File("self.ini").c_str()));
}

// A chain of distinct files stops after kMaxConfigFiles files with the last one read.
TEST(ResolveConfigFile, LongChainStopsAtTheBound) {
    CTempDir dir;
    const int nFiles = kMaxConfigFiles + 4;
    for (int i = 0; i < nFiles; ++i) {
        std::string next = dir.File("f" + std::to_string(i + 1) + ".ini");
        dir.Write("f" + std::to_string(i) + ".ini", "[Redirect]\r\nPath=" + next + "\r\n");
    }
    CRecordingObserver observer;
    const std::string last = dir.File("f" + std::to_string(kMaxConfigFiles - 1) + ".ini");
    EXPECT_EQ(last, ResolveConfig(dir.File("f0.ini").c_str(), &observer));
    ASSERT_EQ(static_cast<size_t>(1 + kMaxConfigFiles), observer.m_events.size());
    EXPECT_EQ(0u, observer.m_events.back().find("redirect limit " + last + " ["));
}

TEST(ResolveConfigFile, StartFileTooLongForTheBufferGivesNothing) {
    const std::string longPath = "C:\\" + std::string(300, 'd') + "\\Mirel.ini";
    EXPECT_EQ("", ResolveConfig(longPath.c_str()));
}

// ---- Stage 2: the factory library's path -------------------------------------------------------

struct DllCase {
    const char* szLabel;
    const char* szSection361;  // lines of section "361", or null for no section
    const char* szDllPath;     // "DllPath" of section "DefaultValue", or null for no section
    EModulePathRule eRule;
    const char* szExpected;  // "@" stands for the configuration directory
};

TEST(ResolveFactoryDllPath, OutcomeTable) {
    const DllCase cases[] = {
        {"absolute DLL wins over everything", "DLL=C:\\f\\MirFact.dll\r\nNotUseDefaultDllPath=1",
         "bin", EModulePathRule::kAbsoluteDll, "C:\\f\\MirFact.dll"},
        {"absolute DLL beginning with a backslash", "DLL=\\f\\MirFact.dll", "C:\\lib",
         EModulePathRule::kAbsoluteDll, "\\f\\MirFact.dll"},
        {"flag 1 with DllPath set", "DLL=MirFact.dll\r\nNotUseDefaultDllPath=1", "bin",
         EModulePathRule::kConfigDirByFlag, "@MirFact.dll"},
        {"flag beginning with 1", "DLL=MirFact.dll\r\nNotUseDefaultDllPath=1yes", "C:\\lib",
         EModulePathRule::kConfigDirByFlag, "@MirFact.dll"},
        {"flag 0, DllPath blank", "DLL=MirFact.dll\r\nNotUseDefaultDllPath=0", "",
         EModulePathRule::kConfigDir, "@MirFact.dll"},
        {"no flag, no DllPath", "DLL=MirFact.dll", nullptr, EModulePathRule::kConfigDir,
         "@MirFact.dll"},
        {"absolute DllPath", "DLL=MirFact.dll", "C:\\lib", EModulePathRule::kAbsoluteDefaultDir,
         "C:\\lib\\MirFact.dll"},
        {"absolute DllPath with backslash", "DLL=MirFact.dll", "C:\\lib\\",
         EModulePathRule::kAbsoluteDefaultDir, "C:\\lib\\\\MirFact.dll"},
        {"relative DllPath", "DLL=MirFact.dll", "bin", EModulePathRule::kRelativeDefaultDir,
         "@bin\\MirFact.dll"},
        {"flag 01 falls through", "DLL=MirFact.dll\r\nNotUseDefaultDllPath=01", "bin",
         EModulePathRule::kRelativeDefaultDir, "@bin\\MirFact.dll"},
        {"empty flag falls through", "DLL=MirFact.dll\r\nNotUseDefaultDllPath=", "bin",
         EModulePathRule::kRelativeDefaultDir, "@bin\\MirFact.dll"},
        {"relative DLL with directory", "DLL=lib\\MirFact.dll", "C:\\x",
         EModulePathRule::kAbsoluteDefaultDir, "C:\\x\\lib\\MirFact.dll"},
        {"DLL with inner blank", "DLL=My Fact.dll", nullptr, EModulePathRule::kConfigDir,
         "@My Fact.dll"},
        {"no DLL: the configuration directory", nullptr, nullptr, EModulePathRule::kConfigDir, "@"},
        {"no DLL, absolute DllPath", "NotUseDefaultDllPath=0", "C:\\lib",
         EModulePathRule::kAbsoluteDefaultDir, "C:\\lib\\"},
        {"no DLL, relative DllPath", nullptr, "bin", EModulePathRule::kRelativeDefaultDir,
         "@bin\\"},
    };
    CTempDir dir;
    int nFile = 0;
    for (const DllCase& c : cases) {
        SCOPED_TRACE(c.szLabel);
        std::string contents;
        if (c.szSection361 != nullptr) {
            contents += std::string("[361]\r\n") + c.szSection361 + "\r\n";
        }
        if (c.szDllPath != nullptr) {
            contents += std::string("[DefaultValue]\r\nDllPath=") + c.szDllPath + "\r\n";
        }
        const std::string config = dir.Write("case" + std::to_string(++nFile) + ".ini", contents);
        std::string expected = c.szExpected;
        if (expected[0] == '@') {
            expected = dir.Path() + "\\" + expected.substr(1);
        }
        CRecordingObserver observer;
        EXPECT_EQ(expected, ResolveDll(config, &observer));
        EXPECT_EQ(RuleName(c.eRule), std::string(RuleName(observer.m_eLastRule)));
    }
}

TEST(ResolveFactoryDllPath, PiecesThatDoNotFitAreLeftOut) {
    CTempDir dir;
    const std::string longName(300, 'n');
    const std::string config =
        dir.Write("long.ini", "[361]\r\nDLL=" + longName + "\r\n[DefaultValue]\r\nDllPath=bin\r\n");
    // The over-long name is dropped when it is trimmed, and the rest goes on without it.
    EXPECT_EQ(dir.Path() + "\\bin\\", ResolveDll(config));
    // A configuration file without a separator stands for its own directory.
    EXPECT_EQ("C:nowhere.ini\\", ResolveDll("C:nowhere.ini"));
}

// The document's example, with the temporary folder in the place of the executable's: the start
// file redirects relatively, the target's own redirection is ignored, "DllPath" is relative.
TEST(ResolveFactoryModulePath, WorkedExampleStepByStep) {
    CTempDir dir;
    const std::string start = dir.Write("Mirel.ini", "[Redirect]\r\nPath=conf\\main.ini\r\n");
    const std::string main =
        dir.Write("conf\\main.ini", "[Redirect]\r\nPath=" + dir.File("ignored.ini") +
                                        "\r\n[361]\r\nDLL= MirFact.dll \r\n"
                                        "[DefaultValue]\r\nDllPath=bin\r\n");
    CRecordingObserver observer;
    char szPath[kPathBufferSize];
    ResolveFactoryModulePath(start.c_str(), szPath, kPathBufferSize, &observer);
    EXPECT_EQ(dir.File("conf\\bin\\MirFact.dll"), szPath);
    EXPECT_EQ((Events{
                  "start given " + start + " -> " + start,
                  "redirect relative " + start + " [conf\\main.ini] -> " + main,
                  "config " + main,
                  "key 361/DLL [MirFact.dll] [MirFact.dll]",
                  "key 361/NotUseDefaultDllPath [0] [0]",
                  "key DefaultValue/DllPath [bin] [bin]",
                  "path relative DllPath " + dir.File("conf\\bin\\MirFact.dll"),
              }),
              observer.m_events);
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
