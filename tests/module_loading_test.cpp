// Loading modules as the factory access does: by full path, by a path relative to the current
// directory and by bare name beside the executable; finding loaded modules by name without
// loading them; reading exports; unloading; and the module file names the loader reports.
#include <ctype.h>
#include <string.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/windows_api.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr char kFixtureName[] = "MirelFixture.dll";
constexpr char kFixtureExport[] = "MirelFixtureAnswer";
constexpr int kFixtureAnswer = 42;

typedef int (*FixtureAnswerFn)(void);

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string ModuleFileName(HMODULE hModule) {
    char szPath[MAX_PATH] = {0};
    DWORD nLength = GetModuleFileNameA(hModule, szPath, MAX_PATH);
    return std::string(szPath, nLength < MAX_PATH ? nLength : 0);
}

int CallAnswer(HMODULE hModule) {
    FARPROC pfn = GetProcAddress(hModule, kFixtureExport);
    // Through void (*)(), the one function type any other converts to without a warning.
    return pfn != nullptr ? reinterpret_cast<FixtureAnswerFn>(reinterpret_cast<void (*)()>(pfn))()
                          : -1;
}

class ModuleLoading : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(GetModuleHandleA(kFixtureName), nullptr) << "a test left the fixture loaded";
    }
    std::string FixturePath() const { return ExecutableDirectory() + "\\" + kFixtureName; }
};

TEST_F(ModuleLoading, ExecutablePathIsAWindowsPath) {
    std::string path = ModuleFileName(nullptr);
    ASSERT_GT(path.size(), 3u);
    EXPECT_TRUE(isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && path[2] == '\\')
        << path;
#ifndef _WIN32
    EXPECT_EQ(path.substr(0, 3), "Z:\\");
#endif
    EXPECT_EQ(path.find('/'), std::string::npos) << path;
    EXPECT_NE(Lower(path).find("module_loading_test"), std::string::npos) << path;
    EXPECT_EQ(GetModuleHandleA(nullptr), GetModuleHandleA(nullptr));
    EXPECT_EQ(ModuleFileName(GetModuleHandleA(nullptr)), path);
}

TEST_F(ModuleLoading, BareNameIsFoundBesideTheExecutable) {
    HMODULE hModule = LoadLibraryA(kFixtureName);
    ASSERT_NE(hModule, nullptr) << GetLastError();
    EXPECT_EQ(CallAnswer(hModule), kFixtureAnswer);
    EXPECT_EQ(Lower(ModuleFileName(hModule)), Lower(FixturePath()));
    EXPECT_TRUE(FreeLibrary(hModule));
}

// Every way of naming one module gives the one handle, and each load is one reference: the
// module stays until the last FreeLibrary, and then it is gone.
TEST_F(ModuleLoading, LoadsCountReferencesAndTheLastFreeUnloads) {
    HMODULE hByPath = LoadLibraryA(FixturePath().c_str());
    ASSERT_NE(hByPath, nullptr) << GetLastError();
    HMODULE hByName = LoadLibraryA(kFixtureName);
    HMODULE hWithoutExtension = LoadLibraryA("MirelFixture");
    EXPECT_EQ(hByName, hByPath);
    EXPECT_EQ(hWithoutExtension, hByPath);
    EXPECT_EQ(GetModuleHandleA(kFixtureName), hByPath);

    EXPECT_TRUE(FreeLibrary(hWithoutExtension));
    EXPECT_TRUE(FreeLibrary(hByName));
    EXPECT_EQ(GetModuleHandleA(kFixtureName), hByPath) << "unloaded while still referenced";
    EXPECT_EQ(CallAnswer(hByPath), kFixtureAnswer);
    EXPECT_TRUE(FreeLibrary(hByPath));
    EXPECT_EQ(GetModuleHandleA(kFixtureName), nullptr) << "still loaded after the last free";
}

TEST_F(ModuleLoading, RelativePathIsTakenFromTheCurrentDirectory) {
    CTempDir dir;
    dir.CopyIn(FixturePath(), "sub\\MirelCopy.dll");
    std::filesystem::path previous = std::filesystem::current_path();
    SetCurrentFolder(dir.Path());
    HMODULE hModule = LoadLibraryA("sub\\MirelCopy.dll");
    std::filesystem::current_path(previous);
    ASSERT_NE(hModule, nullptr) << GetLastError();
    EXPECT_EQ(CallAnswer(hModule), kFixtureAnswer);
    EXPECT_EQ(Lower(ModuleFileName(hModule)), Lower(dir.File("sub\\MirelCopy.dll")));
    EXPECT_EQ(GetModuleHandleA("MirelCopy.dll"), hModule);
    EXPECT_EQ(GetModuleHandleA(kFixtureName), nullptr) << "a copy is a module of its own";
    EXPECT_TRUE(FreeLibrary(hModule));
}

// Looking a module up by name neither loads it nor adds a reference, and ignores case.
TEST_F(ModuleLoading, GetModuleHandleFindsLoadedModulesOnly) {
    EXPECT_EQ(GetModuleHandleA(kFixtureName), nullptr);
    EXPECT_EQ(GetModuleHandleA(kFixtureName), nullptr) << "the look-up loaded the module";
    HMODULE hModule = LoadLibraryA(kFixtureName);
    ASSERT_NE(hModule, nullptr);
    EXPECT_EQ(GetModuleHandleA("mirelfixture.DLL"), hModule);
    EXPECT_EQ(GetModuleHandleA("MIRELFIXTURE"), hModule);
    EXPECT_EQ(GetModuleHandleA(FixturePath().c_str()), hModule);
    EXPECT_TRUE(FreeLibrary(hModule));
    EXPECT_EQ(GetModuleHandleA("mirelfixture.dll"), nullptr) << "the look-up added a reference";
}

// Only the module's own exports are found; a function of a library it uses is not.
TEST_F(ModuleLoading, GetProcAddressFindsOwnExportsOnly) {
    HMODULE hModule = LoadLibraryA(kFixtureName);
    ASSERT_NE(hModule, nullptr);
    EXPECT_NE(GetProcAddress(hModule, kFixtureExport), nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(hModule, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(hModule, "malloc"), nullptr);
    EXPECT_TRUE(FreeLibrary(hModule));
}

TEST_F(ModuleLoading, MissingModuleFailsWithModNotFound) {
    CTempDir dir;
    const std::string missing[] = {dir.File("Absent.dll"), "MirelAbsentModule.dll",
                                   "sub\\MirelAbsent.dll"};
    for (const std::string& name : missing) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryA(name.c_str()), nullptr) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND)) << name;
    }
}

// A buffer too small for the name: the result is the size, and the buffer is filled with the
// start of the name and nothing beyond. Whether the last byte is the terminator differs between
// Windows versions (and Wine); the stand-in terminates, which its own test checks.
TEST_F(ModuleLoading, FileNameIsCutToTheBuffer) {
    std::string path = ModuleFileName(nullptr);
    DWORD nLength = static_cast<DWORD>(path.size());
    struct Case {
        DWORD nSize;
        DWORD nExpected;
        std::string expected;
        bool bCut;
    } cases[] = {
        {nLength + 1, nLength, path, false},
        {nLength, nLength, path.substr(0, nLength - 1), true},
        {5, 5, path.substr(0, 4), true},
        {1, 1, "", true},
    };
    for (const Case& c : cases) {
        char szBuffer[MAX_PATH + 8];
        memset(szBuffer, '#', sizeof(szBuffer));
        SetLastError(0);
        DWORD nResult = GetModuleFileNameA(nullptr, szBuffer, c.nSize);
        EXPECT_EQ(nResult, c.nExpected) << c.nSize;
        EXPECT_EQ(std::string(szBuffer, c.expected.size()), c.expected) << c.nSize;
        if (!c.bCut) {
            EXPECT_EQ(szBuffer[c.expected.size()], '\0') << c.nSize;
        }
        EXPECT_EQ(szBuffer[c.nSize], '#') << c.nSize;
    }
}

}  // namespace
