// The configuration explainer behind mirel-resolve, run in-process on the configurations the
// resolution tests use: it must print every step the module takes, in the module's order, end at
// the path the module's own resolution gives, and tell a library that loads and exports
// "CreateComponent" from one that does not.
#include <gtest/gtest.h>

#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "factory/config_resolution.h"
#include "base/module_state.h"
#include "tests/support/resolution_fixtures.h"
#include "tests/support/temp_dir.h"
#include "tools/mirel_resolve/resolution_explainer.h"

namespace {

using Lines = std::vector<std::string>;

std::string ModulePathOf(const std::string& registryPath) {
    char szPath[kPathBufferSize];
    memset(szPath, 'x', sizeof(szPath));
    ResolveFactoryModulePath(registryPath.c_str(), szPath, kPathBufferSize);
    return szPath;
}

// Each wanted line must appear, whole or (ending in "...") as a prefix, after the one before it.
void ExpectInOrder(const Lines& lines, const Lines& wanted) {
    size_t nNext = 0;
    for (const std::string& want : wanted) {
        const bool bPrefix = want.size() >= 3 && want.compare(want.size() - 3, 3, "...") == 0;
        const std::string text = bPrefix ? want.substr(0, want.size() - 3) : want;
        size_t nAt = nNext;
        while (nAt < lines.size() &&
               (bPrefix ? lines[nAt].compare(0, text.size(), text) != 0 : lines[nAt] != text)) {
            ++nAt;
        }
        if (nAt == lines.size()) {
            ADD_FAILURE() << "missing, or out of order: " << want;
            return;
        }
        nNext = nAt + 1;
    }
}

Lines Matching(const Lines& lines, const std::string& prefix) {
    Lines found;
    for (const std::string& line : lines) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            found.push_back(line);
        }
    }
    return found;
}

std::string RedirectNote(const RedirectStep& step) {
    switch (step.eRule) {
        case ERedirectRule::kNone:
            return "    chain ends: Redirect is blank";
        case ERedirectRule::kRelative:
            return "    relative Redirect: the file beside this one is used and read no further: " +
                   step.next;
        case ERedirectRule::kAbsolute:
            return "    absolute Redirect: " + step.next + " is read in its turn";
        case ERedirectRule::kCycle:
            return "    cycle: " + step.value + " was already read, the chain stops at " +
                   step.next;
        case ERedirectRule::kLimit:
            return "    limit: " + std::to_string(kMaxConfigFiles) +
                   " files have been read, the chain stops at " + step.next + " without reading " +
                   step.value;
    }
    return "?";
}

// The words that name each row of the outcome table at the start of the "outcome:" line.
std::string OutcomeWords(EModulePathRule eRule) {
    const std::string relative =
        "outcome: DLL is relative or empty, NotUseDefaultDllPath does "
        "not begin with '1' and DllPath is ";
    switch (eRule) {
        case EModulePathRule::kAbsoluteDll:
            return "outcome: DLL is absolute, so it is used unchanged...";
        case EModulePathRule::kConfigDirByFlag:
            return "outcome: DLL is relative or empty and NotUseDefaultDllPath begins with '1'...";
        case EModulePathRule::kConfigDir:
            return relative + "blank...";
        case EModulePathRule::kAbsoluteDefaultDir:
            return relative + "absolute...";
        case EModulePathRule::kRelativeDefaultDir:
            return relative + "relative...";
    }
    return "?";
}

// The key lines, and the "not read" lines of the keys the rule did not need.
Lines KeyLines(const ResolutionFixture& fixture) {
    Lines lines;
    for (const KeyRead& key : fixture.keys) {
        const std::string name = "[" + key.section + "] " + key.key + " = \"" + key.raw + "\"";
        lines.push_back(key.key == "DllPath" ? name + ", used as read"
                                             : name + ", trimmed \"" + key.used + "\"");
    }
    if (fixture.eRule == EModulePathRule::kAbsoluteDll) {
        lines.push_back("[361] NotUseDefaultDllPath: not read, because DLL is absolute");
        lines.push_back("[DefaultValue] DllPath: not read, because DLL is absolute");
    } else if (fixture.eRule == EModulePathRule::kConfigDirByFlag) {
        lines.push_back(
            "[DefaultValue] DllPath: not read, because NotUseDefaultDllPath begins with '1'");
    }
    return lines;
}

// The explanation of a fixture, step by step. A file the fixture does not write must be named
// as missing where it is read.
Lines ExpectedSteps(const ResolutionFixture& fixture, const std::set<std::string>& written) {
    Lines steps{"registry path: " + fixture.start, "start file: " + fixture.start,
                "    absolute registry path: used as given"};
    for (const RedirectStep& step : fixture.redirects) {
        steps.push_back("read " + step.file + ": [Redirect] Path = \"" + step.value + "\"");
        if (written.count(step.file) == 0) {
            steps.push_back("    this file does not exist and reads as empty");
        }
        steps.push_back(RedirectNote(step));
    }
    steps.push_back("configuration file: " + fixture.configFile);
    if (written.count(fixture.configFile) == 0) {
        steps.push_back("    this file does not exist: every key takes its default");
    }
    for (std::string& line : KeyLines(fixture)) {
        steps.push_back(std::move(line));
    }
    steps.push_back(OutcomeWords(fixture.eRule));
    steps.push_back("factory library: " + fixture.modulePath);
    // None of the fixtures names a library that exists.
    steps.push_back("LoadLibraryA: fails, GetLastError ...");
    steps.push_back("GetProcAddress \"CreateComponent\": not tried, the library did not load");
    steps.push_back(
        "result: the module cannot load the factory library and reports "
        "\"[Mirel_Error] Load MirFact.dll Fail.\"");
    return steps;
}

// ---- The shared configurations -----------------------------------------------------------------

TEST(ConfigExplainer, ExplainsEveryFixtureAsTheModuleResolvesIt) {
    for (const ResolutionFixture& shared : AllResolutionFixtures()) {
        SCOPED_TRACE(shared.label);
        CTempDir dir;
        const ResolutionFixture fixture = WriteFixture(shared, dir);
        std::set<std::string> written;
        for (const IniFile& file : fixture.files) {
            written.insert(dir.File(file.name));
        }

        CResolutionExplainer explainer;
        EXPECT_EQ(kFactoryDoesNotLoad, explainer.Explain(fixture.start.c_str()));
        EXPECT_EQ(ModulePathOf(fixture.start), explainer.ModulePath());
        EXPECT_EQ(fixture.modulePath, explainer.ModulePath());

        const Lines& lines = explainer.Lines();
        ExpectInOrder(lines, ExpectedSteps(fixture, written));
        // Nothing beyond the chain's files and the keys the rule needed.
        EXPECT_EQ(fixture.redirects.size(), Matching(lines, "read ").size());
        EXPECT_EQ(KeyLines(fixture), Matching(lines, "["));
    }
}

// An absolute "DllPath" that ends in a backslash doubles it before the name; the explanation says
// that the doubled backslash is not what goes wrong.
TEST(ConfigExplainer, NamesTheDoubledBackslash) {
    CTempDir dir;
    const std::string config = dir.Write(
        "case.ini", "[361]\r\nDLL=MirFact.dll\r\n[DefaultValue]\r\nDllPath=C:\\lib\\\r\n");
    CResolutionExplainer explainer;
    explainer.Explain(config.c_str());
    ExpectInOrder(explainer.Lines(), {"factory library: C:\\lib\\\\MirFact.dll",
                                      "    the doubled backslash comes from a DllPath..."});
}

// ---- The start file ----------------------------------------------------------------------------

TEST(ConfigExplainer, WithoutRegistryPathStartsBesideTheRunningProgram) {
    const std::string start = ExecutableDirectory() + "\\Mirel.ini";
    for (const char* szRegistryPath : {static_cast<const char*>(nullptr), ""}) {
        CResolutionExplainer explainer;
        explainer.Explain(szRegistryPath);
        ExpectInOrder(explainer.Lines(), {"registry path: (none)", "start file: " + start,
                                          "    no registry path: Mirel.ini in the folder of the "
                                          "running program, which here is mirel-resolve...",
                                          "read " + start + ": [Redirect] Path = ..."});
        EXPECT_EQ(ModulePathOf(""), explainer.ModulePath());
    }
}

TEST(ConfigExplainer, RelativeRegistryPathIsJoinedToTheRunningProgramsFolder) {
    CResolutionExplainer explainer;
    explainer.Explain("sub\\x.ini");
    ExpectInOrder(
        explainer.Lines(),
        {"registry path: sub\\x.ini", "start file: " + ExecutableDirectory() + "\\sub\\x.ini",
         "    relative registry path: joined with one backslash to the folder of the "
         "running program..."});
}

// A path that does not fit the module's buffers: a host could not even pass it with
// SetDLLRegistry, and the resolution ends with no configuration file at all.
TEST(ConfigExplainer, OverLongRegistryPath) {
    const std::string longPath = "C:\\" + std::string(300, 'd') + "\\Mirel.ini";
    CResolutionExplainer explainer;
    EXPECT_EQ(kFactoryDoesNotLoad, explainer.Explain(longPath.c_str()));
    EXPECT_EQ(ModulePathOf(longPath), explainer.ModulePath());
    ExpectInOrder(
        explainer.Lines(),
        {"registry path: " + longPath,
         "    this path has 260 characters or more: a host's SetDLLRegistry takes it as "
         "no path at all...",
         "configuration file: (none)",
         "    the path the chain ended with does not fit the module's 260-byte buffer..."});
}

// ---- Loading -----------------------------------------------------------------------------------

TEST(ConfigExplainer, LoadsTheLibraryAndLooksForTheEntryPoint) {
    struct Case {
        const char* szLibrary;
        EExplainStatus eStatus;
        Lines wanted;
    } const cases[] = {
        {"FakeFactory.dll",
         kFactoryLoads,
         {"LoadLibraryA: ok", "GetProcAddress \"CreateComponent\": found", "result: ..."}},
        {"NoEntry.dll",
         kFactoryWithoutEntry,
         {"LoadLibraryA: ok", "GetProcAddress \"CreateComponent\": missing",
          "result: the library loads but does not export \"CreateComponent\"; the module reports "
          "\"[Mirel_Error] Can't find CreateComponent().\"..."}},
        {"Missing.dll",
         kFactoryDoesNotLoad,
         {"LoadLibraryA: fails, GetLastError 126...",
          "GetProcAddress \"CreateComponent\": not tried, the library did not load"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szLibrary);
        CTempDir dir;
        const std::string library = ExecutableDirectory() + "\\" + c.szLibrary;
        const std::string config = dir.Write("Mirel.ini", "[361]\r\nDLL=" + library + "\r\n");
        CResolutionExplainer explainer;
        EXPECT_EQ(c.eStatus, explainer.Explain(config.c_str()));
        EXPECT_EQ(library, explainer.ModulePath());
        Lines wanted{"factory library: " + library};
        wanted.insert(wanted.end(), c.wanted.begin(), c.wanted.end());
        ExpectInOrder(explainer.Lines(), wanted);
        // The explainer lets go of what it loaded.
        EXPECT_EQ(nullptr, GetModuleHandleA(library.c_str()));
    }
}

}  // namespace
