// What only the POSIX loader stand-in needs checked: that FreeLibrary really unloads the shared
// object, that every way to a module's handle gives the loader's own handle, and that the
// stand-in turns away what the loader here cannot do or would crash on.
#include <dlfcn.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/posix_extensions.h"
#include "platform/windows_api.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr char kFixtureName[] = "MirelFixture.dll";

std::string FixturePosixPath() {
    std::string path = ExecutableDirectory().substr(2) + "/" + kFixtureName;
    for (char& c : path) {
        if (c == '\\')
            c = '/';
    }
    return path;
}

bool IsResident(const std::string& path) {
    void* pHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (pHandle == nullptr) {
        return false;
    }
    dlclose(pHandle);  // RTLD_NOLOAD took a reference of its own.
    return true;
}

TEST(ModuleLoadingPosix, FreeLibraryUnloadsTheSharedObject) {
    ASSERT_FALSE(IsResident(FixturePosixPath()));
    HMODULE hModule = LoadLibraryA(kFixtureName);
    ASSERT_NE(hModule, nullptr);
    EXPECT_TRUE(IsResident(FixturePosixPath()));
    EXPECT_TRUE(FreeLibrary(hModule));
    EXPECT_FALSE(IsResident(FixturePosixPath()));
}

TEST(ModuleLoadingPosix, OneHandlePerModuleWhicheverCallGivesIt) {
    HMODULE hModule = LoadLibraryA(kFixtureName);
    ASSERT_NE(hModule, nullptr);
    void* pDirect = dlopen(FixturePosixPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(pDirect, static_cast<void*>(hModule));
    dlclose(pDirect);
    FARPROC pfn = GetProcAddress(hModule, "MirelFixtureAnswer");
    ASSERT_NE(pfn, nullptr);
    EXPECT_EQ(MirelModuleFromAddress(reinterpret_cast<const void*>(pfn)), hModule);
    EXPECT_EQ(GetModuleHandleA("MIRELFIXTURE.DLL"), hModule);

    static int s_nLocal = 0;
    EXPECT_EQ(MirelModuleFromAddress(&s_nLocal), GetModuleHandleA(nullptr));
    EXPECT_EQ(MirelModuleFromAddress(nullptr), nullptr);
    EXPECT_TRUE(FreeLibrary(hModule));
}

TEST(ModuleLoadingPosix, ExecutableNameTranslatesBackToTheRealPath) {
    char szPath[PATH_MAX] = {0};
    ssize_t nLength = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    ASSERT_GT(nLength, 0);
    std::string expected = "Z:" + std::string(szPath);
    for (char& c : expected) {
        if (c == '/')
            c = '\\';
    }
    char szName[PATH_MAX] = {0};
    EXPECT_EQ(GetModuleFileNameA(nullptr, szName, sizeof(szName)), expected.size());
    EXPECT_EQ(std::string(szName), expected);
}

// As Windows does it since Vista: a name that does not fit is cut to size - 1 characters and
// terminated, and the result is the size with ERROR_INSUFFICIENT_BUFFER.
TEST(ModuleLoadingPosix, FileNameCutIsTerminated) {
    char szFull[PATH_MAX] = {0};
    DWORD nLength = GetModuleFileNameA(nullptr, szFull, sizeof(szFull));
    ASSERT_GT(nLength, 4u);
    for (DWORD nSize : {nLength, 4u, 1u}) {
        char szBuffer[PATH_MAX];
        memset(szBuffer, '#', sizeof(szBuffer));
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameA(nullptr, szBuffer, nSize), nSize);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(std::string(szBuffer), std::string(szFull, nSize - 1));
        EXPECT_EQ(szBuffer[nSize], '#');
    }
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, szFull, 0), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

// Ordinals, other drives, and handles that name no loaded module give errors, not crashes.
TEST(ModuleLoadingPosix, UnsupportedAndInvalidRequestsFail) {
    HMODULE hModule = LoadLibraryA(kFixtureName);
    ASSERT_NE(hModule, nullptr);
    EXPECT_EQ(GetProcAddress(hModule, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(1))),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_TRUE(FreeLibrary(hModule));

    // The handle of a module that is gone now names nothing.
    EXPECT_FALSE(FreeLibrary(hModule));
    EXPECT_EQ(GetProcAddress(hModule, "MirelFixtureAnswer"), nullptr);
    char szName[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameA(hModule, szName, MAX_PATH), 0u);
    int nNotAModule = 0;
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(&nNotAModule)));

    std::string onOtherDrive = "C:" + ExecutableDirectory().substr(2) + "\\" + kFixtureName;
    EXPECT_EQ(LoadLibraryA(onOtherDrive.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
}

}  // namespace
