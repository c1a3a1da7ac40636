// CModuleCache: the component modules that the factory library has loaded, one per module, each
// configured once (SetDLLRegistry, SetFactoryHandle) and kept loaded, together with the idle
// notices the modules have sent. Any thread may call it. Its lock is a leaf: loading, unloading
// and every call into a module happen without it, so a module that calls the factory while it
// holds its own lock (its idle notice does) can never deadlock against it.
#ifndef MIREL_FRAMEWORK_MODULE_CACHE_H
#define MIREL_FRAMEWORK_MODULE_CACHE_H

#include <stdint.h>

#include <list>
#include <set>

#include "framework/critical_lock.h"
#include "mirel/component_factory.h"
#include "mirel/exports.h"
#include "module/module_state.h"
#include "platform/windows_api.h"

// The exports through which the factory drives a module; every one of them must be present.
struct CModuleExports {
    CreateComponentFn pfnCreateComponent;
    SetDLLRegistryFn pfnSetDLLRegistry;
    SetFactoryHandleFn pfnSetFactoryHandle;
    GetComponentIDsFn pfnGetComponentIDs;
    MirelDllCanUnloadNowFn pfnCanUnloadNow;
};

struct CLoadedModule {
    HMODULE hModule;               // one reference of the loader's count belongs to the cache
    char szPath[kPathBufferSize];  // the path it was first loaded by
    CModuleExports exports;
    int32_t nPins;  // callers between Acquire and Unpin; it is never unloaded then
};

class CModuleCache {
public:
    CModuleCache() = default;
    CModuleCache(const CModuleCache&) = delete;
    CModuleCache& operator=(const CModuleCache&) = delete;

    // The module loaded from that path, loaded and configured with the registry path and the
    // factory library's handle on first use, and pinned until Unpin. Null, with a diagnostic line
    // naming the component asked for, when the file cannot be loaded or is no component module.
    CLoadedModule* Acquire(const char* szModulePath, const char* szRegistryPath,
                           int32_t nComponentId);
    void Unpin(CLoadedModule* pModule);

    // Records that the module with this instance handle holds no component any more. Called from
    // inside the module's own Release, under the module's lock: it only records.
    void RecordIdleNotice(HMODULE hModule);

    // Unloads every unpinned module that has sent an idle notice and still answers
    // MirelDllCanUnloadNow with 1; returns how many were unloaded.
    int32_t UnloadIdleModules();

    int32_t LoadedModuleCount();

    // The handle given to every module with SetFactoryHandle: the factory library's own.
    void SetFactoryInstance(HINSTANCE hInstance) { m_hFactoryInstance = hInstance; }

private:
    CLoadedModule* FindByPathLocked(const char* szPath);
    CLoadedModule* FindByHandleLocked(HMODULE hModule);
    // Pins the cached record for hModule if there is one, else stores pNew (pinned) as its record.
    // Returns the record to use and whether the caller's own loader reference is now surplus.
    CLoadedModule* PublishLocked(const CLoadedModule& fresh, bool& bSurplusReference);

    CCriticalLock m_lock;
    std::list<CLoadedModule> m_modules;  // a list, so that records never move while pinned
    std::set<HMODULE> m_idleNotices;
    HINSTANCE m_hFactoryInstance = nullptr;
};

extern CModuleCache ModuleCache;

#endif  // MIREL_FRAMEWORK_MODULE_CACHE_H
