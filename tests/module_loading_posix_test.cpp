// What only the POSIX loader stand-in needs checked: that FreeLibrary really unloads the shared
// object, that every way to a module's handle gives the loader's own handle, that links and
// ".." in paths give the names Windows would, and that the stand-in turns away what the loader
// here cannot do or would crash on.
#include <dlfcn.h>
#include <limits.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/posix_extensions.h"
#include "platform/windows_api.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr char kFixtureName[] = "MirelFixture.dll";
constexpr char kProbeName[] = "started_path_probe";

std::string FixtureNativePath() {
    return NativePath(ExecutableDirectory()) + "/" + kFixtureName;
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
    ASSERT_FALSE(IsResident(FixtureNativePath()));
    HMODULE hModule = LoadLibraryA(kFixtureName);
    ASSERT_NE(hModule, nullptr);
    EXPECT_TRUE(IsResident(FixtureNativePath()));
    EXPECT_TRUE(FreeLibrary(hModule));
    EXPECT_FALSE(IsResident(FixtureNativePath()));
}

TEST(ModuleLoadingPosix, OneHandlePerModuleWhicheverCallGivesIt) {
    HMODULE hModule = LoadLibraryA(kFixtureName);
    ASSERT_NE(hModule, nullptr);
    void* pDirect = dlopen(FixtureNativePath().c_str(), RTLD_NOW | RTLD_NOLOAD);
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

// Starts the probe program by the given path from the given folder (both POSIX paths) and
// returns what it printed: the name GetModuleFileNameA gives for its executable.
std::string StartProbe(const std::string& folder, const std::string& path) {
    int fds[2];
    if (pipe(fds) != 0) {
        return "(no pipe)";
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = 0;
    int nError = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string output;
    char buffer[512];
    ssize_t nRead = 0;
    while (nError == 0 && (nRead = read(fds[0], buffer, sizeof(buffer))) > 0) {
        output.append(buffer, static_cast<size_t>(nRead));
    }
    close(fds[0]);
    int nStatus = 0;
    if (nError != 0 || waitpid(pid, &nStatus, 0) != pid || nStatus != 0) {
        return "(probe failed)";
    }
    return output;
}

// As Windows names a program by the path it was started by, a link keeps its own name (so that
// Mirel.ini is looked for beside the link), and a relative start is taken from the folder the
// program started in, with "." and ".." resolved as text, whatever folder it is in later.
TEST(ModuleLoadingPosix, ExecutableIsNamedByThePathItWasStartedBy) {
    CTempDir dir;
    dir.Write("sub\\placeholder", "");
    const std::string probe = NativePath(ExecutableDirectory()) + "/" + kProbeName;
    ASSERT_EQ(symlink(probe.c_str(), NativePath(dir.File("link")).c_str()), 0);
    ASSERT_EQ(symlink(NativePath(ExecutableDirectory()).c_str(),
                      NativePath(dir.File("linked-folder")).c_str()),
              0);
    EXPECT_EQ(StartProbe("/", probe), ExecutableDirectory() + "\\" + kProbeName + "\n");
    EXPECT_EQ(StartProbe("/", NativePath(dir.File("link"))), dir.File("link") + "\n");
    EXPECT_EQ(
        StartProbe(NativePath(dir.File("sub")), std::string("../linked-folder/./") + kProbeName),
        dir.File("linked-folder\\") + kProbeName + "\n");
}

// ".." after a folder that is a link leads back beside the link, not beside the link's target.
TEST(ModuleLoadingPosix, DotDotAfterALinkedFolderIsResolvedAsText) {
    CTempDir dir;
    dir.CopyIn(ExecutableDirectory() + "\\" + kFixtureName,
               std::string("app\\bin\\") + kFixtureName);
    dir.Write("real\\conf\\Mirel.ini", "");
    ASSERT_EQ(symlink(NativePath(dir.File("real\\conf")).c_str(),
                      NativePath(dir.File("app\\conf")).c_str()),
              0);
    std::string viaLink = dir.File("app\\conf\\..\\bin\\") + kFixtureName;
    HMODULE hModule = LoadLibraryA(viaLink.c_str());
    ASSERT_NE(hModule, nullptr);
    char szName[MAX_PATH] = "";
    GetModuleFileNameA(hModule, szName, MAX_PATH);
    EXPECT_EQ(std::string(szName), dir.File("app\\bin\\") + kFixtureName);
    EXPECT_TRUE(FreeLibrary(hModule));
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
