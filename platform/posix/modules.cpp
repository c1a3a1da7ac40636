// Modules: LoadLibraryA, FreeLibrary, GetProcAddress, GetModuleHandleA, GetModuleFileNameA and
// MirelModuleFromAddress over the dynamic loader, and the modules' DLL_THREAD_DETACH step.
//
// An HMODULE is the loader's handle of the shared object, which is its link_map: the handle that
// dlopen returns, that dladdr1 reports for an address inside the object, and that the loader's
// list of objects holds. So one module has one handle whichever call produced it. The loader
// counts references as Windows does: loading a module that is already loaded returns the same
// handle, and the module is unloaded with the last FreeLibrary.
//
// Module files are named "X.dll" on both platforms. Names follow Windows rules where the loader's
// would differ: a name without extension gets ".dll", a bare name is looked for among the loaded
// modules first and then beside the executable, names of loaded modules compare without regard to
// case, and a handle is looked up in the loader's list before use, so that a stale or invented
// handle gives an error instead of a crash. File names on disk are matched as given, since the
// file system itself distinguishes case.
//
// Every call here holds one process-wide loader lock, as Windows holds its own: while a module
// loads or unloads (its constructors and destructors included), while the list of objects is read,
// and across our compound steps (find a loaded module, then open it again by its path). The
// dynamic loader's own locks do not cover those steps and are invisible to ThreadSanitizer, so
// without ours a thread could call into a module another thread is still constructing with no
// visible order between the two. The lock is recursive because constructors run under it and call
// these functions again; like the Windows loader lock, it must not be waited for by a thread that
// a constructor or destructor waits for.
#include <dlfcn.h>
#include <link.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/out_of_memory.h"
#include "platform/posix/paths.h"
#include "platform/posix/thread_detach.h"
#include "platform/posix_extensions.h"
#include "platform/windows_api.h"

namespace {

constexpr char kDefaultExtension[] = ".dll";
constexpr int kLoadFlags = RTLD_NOW | RTLD_LOCAL;

struct LoadedModule {
    link_map* pMap;
    std::string path;  // absolute POSIX path; for the main program, the path it was started by
};

// Holds the loader lock for its lifetime. Never inlined, so that a lock-order report naming the
// loader lock can be told apart by this frame (see cmake/tsan-suppressions.txt).
class CLoaderLockScope {
public:
    __attribute__((noinline)) CLoaderLockScope() { Lock().lock(); }
    __attribute__((noinline)) ~CLoaderLockScope() { Lock().unlock(); }
    CLoaderLockScope(const CLoaderLockScope&) = delete;
    CLoaderLockScope& operator=(const CLoaderLockScope&) = delete;

private:
    // Never destroyed: modules are still unloaded while the process's own destructors run. Made
    // in static storage, so that taking it never allocates.
    static std::recursive_mutex& Lock() {
        alignas(std::recursive_mutex) static unsigned char s_storage[sizeof(std::recursive_mutex)];
        static auto* s_pLock = new (s_storage) std::recursive_mutex;
        return *s_pLock;
    }
};

struct ThreadDetachEntry {
    HMODULE hModule;
    MirelModuleEntry pfnEntry;
};

// The entry points that hear of ending threads, in load order. Guarded by the loader lock; never
// destroyed, as threads may still end while the process's own destructors run.
std::vector<ThreadDetachEntry>& ThreadDetachEntries() {
    static auto* s_pEntries = new std::vector<ThreadDetachEntry>;
    return *s_pEntries;
}

link_map* MainProgram() {
    static link_map* s_pMain = static_cast<link_map*>(dlopen(nullptr, RTLD_NOW));
    return s_pMain;
}

// Within dl_iterate_phdr the loader holds the lock that guards its list of objects, so the list
// is walked from there: the snapshot is consistent even while other threads load or unload. The
// walk only reads and copies; it calls nothing that would take a loader lock again.
int SnapshotModules(dl_phdr_info* /*pInfo*/, size_t /*nSize*/, void* pData) {
    auto* pModules = static_cast<std::vector<LoadedModule>*>(pData);
    for (link_map* pMap = MainProgram(); pMap != nullptr; pMap = pMap->l_next) {
        pModules->push_back(LoadedModule{pMap, pMap->l_name != nullptr ? pMap->l_name : ""});
    }
    return 1;  // One pass of the list is all that is needed.
}

std::vector<LoadedModule> LoadedModules() {
    std::vector<LoadedModule> modules;
    if (MainProgram() == nullptr) {
        return modules;
    }
    dl_iterate_phdr(SnapshotModules, &modules);
    for (LoadedModule& module : modules) {
        if (module.pMap == MainProgram() || module.path.empty()) {
            module.path = module.pMap == MainProgram() ? mirel_posix::ExecutablePath() : "";
        } else if (module.path[0] != '/') {
            // Objects opened by a relative name keep that name in the loader's list.
            std::string absolute = mirel_posix::AbsolutePosixPath(module.path);
            if (!absolute.empty()) {
                module.path = absolute;
            }
        }
    }
    return modules;
}

bool FindLoadedModule(HMODULE hModule, LoadedModule& found) {
    for (LoadedModule& module : LoadedModules()) {
        if (reinterpret_cast<HMODULE>(module.pMap) == hModule) {
            found = module;
            return true;
        }
    }
    return false;
}

// Windows appends ".dll" to a file name without extension; a trailing dot says "no extension".
std::string WithDefaultExtension(const char* szName) {
    std::string name(szName);
    const char* szFileName = mirel_posix::PathFileName(szName);
    if (szFileName[0] == '\0') {
        return name;
    }
    if (name.back() == '.') {
        name.pop_back();
    } else if (strchr(szFileName, '.') == nullptr) {
        name += kDefaultExtension;
    }
    return name;
}

// A loaded module whose file name (without directory) matches, case-insensitively.
bool FindLoadedByFileName(const std::string& fileName, LoadedModule& found) {
    for (LoadedModule& module : LoadedModules()) {
        if (!module.path.empty() &&
            strcasecmp(mirel_posix::PathFileName(module.path.c_str()), fileName.c_str()) == 0) {
            found = module;
            return true;
        }
    }
    return false;
}

// A loaded module whose full path matches, case-insensitively.
bool FindLoadedByPath(const std::string& path, LoadedModule& found) {
    for (LoadedModule& module : LoadedModules()) {
        if (strcasecmp(module.path.c_str(), path.c_str()) == 0) {
            found = module;
            return true;
        }
    }
    return false;
}

std::string ExecutableDirectory() {
    std::string path = mirel_posix::ExecutablePath();
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

HMODULE OpenModule(const std::string& path, int nExtraFlags = 0) {
    return static_cast<HMODULE>(dlopen(path.c_str(), kLoadFlags | nExtraFlags));
}

// A bare name, searched for our purposes as Windows does: a module already loaded under that
// name, then the executable's directory, then the loader's own search.
HMODULE LoadByFileName(const std::string& fileName) {
    LoadedModule loaded;
    if (FindLoadedByFileName(fileName, loaded)) {
        if (loaded.pMap == MainProgram()) {
            return reinterpret_cast<HMODULE>(loaded.pMap);
        }
        // Opened again by its own path, which adds a reference and cannot load a second copy.
        if (HMODULE hModule = OpenModule(loaded.pMap->l_name, RTLD_NOLOAD)) {
            return hModule;
        }
    }
    std::string directory = ExecutableDirectory();
    if (!directory.empty()) {
        std::string besideExecutable = directory + "/" + fileName;
        if (access(besideExecutable.c_str(), F_OK) == 0) {
            return OpenModule(besideExecutable);
        }
    }
    return OpenModule(fileName);
}

}  // namespace

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    return mirel_posix::FailOnOutOfMemory<HMODULE>(nullptr, [&]() -> HMODULE {
        CLoaderLockScope loaderLock;
        if (lpLibFileName == nullptr || lpLibFileName[0] == '\0') {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        std::string name = WithDefaultExtension(lpLibFileName);
        HMODULE hModule = nullptr;
        if (!mirel_posix::HasDirectoryPart(name.c_str())) {
            hModule = LoadByFileName(name);
        } else {
            std::string path;
            if (mirel_posix::WindowsToPosixPath(name.c_str(), path)) {
                hModule = OpenModule(path);
            }
        }
        if (hModule == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
        }
        return hModule;
    });
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    return mirel_posix::FailOnOutOfMemory<BOOL>(FALSE, [&]() -> BOOL {
        CLoaderLockScope loaderLock;
        LoadedModule module;
        if (hLibModule == nullptr || !FindLoadedModule(hLibModule, module)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (module.pMap == MainProgram()) {
            return TRUE;  // The executable stays, whatever its count.
        }
        if (dlclose(hLibModule) != 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    });
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    return mirel_posix::FailOnOutOfMemory<FARPROC>(nullptr, [&]() -> FARPROC {
        // Look-ups by ordinal pass a number below 65536 in place of the name; the loader here has
        // no ordinals.
        if (reinterpret_cast<uintptr_t>(lpProcName) >> 16 == 0) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        CLoaderLockScope loaderLock;
        LoadedModule module;
        HMODULE hTarget = hModule != nullptr ? hModule : reinterpret_cast<HMODULE>(MainProgram());
        if (!FindLoadedModule(hTarget, module)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        void* pSymbol = dlsym(hTarget, lpProcName);
        // dlsym also searches the objects the module depends on; Windows finds only what the
        // module itself exports.
        if (pSymbol == nullptr || MirelModuleFromAddress(pSymbol) != hTarget) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return reinterpret_cast<FARPROC>(pSymbol);
    });
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    return mirel_posix::FailOnOutOfMemory<HMODULE>(nullptr, [&]() -> HMODULE {
        CLoaderLockScope loaderLock;
        if (lpModuleName == nullptr) {
            return reinterpret_cast<HMODULE>(MainProgram());
        }
        std::string name = WithDefaultExtension(lpModuleName);
        LoadedModule module;
        bool bFound = false;
        if (!mirel_posix::HasDirectoryPart(name.c_str())) {
            bFound = FindLoadedByFileName(name, module);
        } else {
            std::string path;
            bFound = mirel_posix::WindowsToPosixPath(name.c_str(), path) &&
                     FindLoadedByPath(path, module);
        }
        if (!bFound) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        return reinterpret_cast<HMODULE>(module.pMap);
    });
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    return mirel_posix::FailOnOutOfMemory<DWORD>(0, [&]() -> DWORD {
        CLoaderLockScope loaderLock;
        LoadedModule module;
        HMODULE hTarget = hModule != nullptr ? hModule : reinterpret_cast<HMODULE>(MainProgram());
        if (!FindLoadedModule(hTarget, module) || module.path.empty()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        if (nSize == 0) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (lpFilename == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::string windows = mirel_posix::PosixToWindowsPath(module.path);
        // As Windows does it: a name that does not fit is cut to nSize - 1 characters and
        // terminated, and the result is nSize with ERROR_INSUFFICIENT_BUFFER.
        if (windows.size() >= nSize) {
            memcpy(lpFilename, windows.data(), nSize - 1);
            lpFilename[nSize - 1] = '\0';
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return nSize;
        }
        memcpy(lpFilename, windows.c_str(), windows.size() + 1);
        return static_cast<DWORD>(windows.size());
    });
}

void MirelSetThreadDetachEntry(HMODULE hModule, MirelModuleEntry pfnEntry) {
    CLoaderLockScope loaderLock;
    std::vector<ThreadDetachEntry>& entries = ThreadDetachEntries();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->hModule == hModule) {
            entries.erase(it);
            break;
        }
    }
    if (pfnEntry != nullptr) {
        try {
            entries.push_back(ThreadDetachEntry{hModule, pfnEntry});
        } catch (const std::bad_alloc&) {
            // Out of memory while a module loads: it simply hears of no ending thread.
        }
    }
}

HMODULE MirelModuleFromAddress(const void* pAddress) {
    CLoaderLockScope loaderLock;
    Dl_info info;
    link_map* pMap = nullptr;
    if (dladdr1(pAddress, &info, reinterpret_cast<void**>(&pMap), RTLD_DL_LINKMAP) == 0) {
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(pMap);
}

}  // extern "C"

namespace mirel_posix {

// As Windows does, in the reverse of load order and under the loader lock, so that no module
// goes while its step runs. A step may load or unload modules itself: the list is walked as it
// stood, and each entry is called only while it is still registered.
void DeliverThreadDetach() {
    CLoaderLockScope loaderLock;
    std::vector<ThreadDetachEntry> snapshot;
    try {
        snapshot = ThreadDetachEntries();
    } catch (const std::bad_alloc&) {
        return;  // out of memory as the thread ends: its windows go without the modules' step
    }
    for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it) {
        const std::vector<ThreadDetachEntry>& entries = ThreadDetachEntries();
        const bool bRegistered =
            std::any_of(entries.begin(), entries.end(), [&](const ThreadDetachEntry& entry) {
                return entry.hModule == it->hModule && entry.pfnEntry == it->pfnEntry;
            });
        if (bRegistered) {
            it->pfnEntry(reinterpret_cast<HINSTANCE>(it->hModule), DLL_THREAD_DETACH, nullptr);
        }
    }
}

}  // namespace mirel_posix
