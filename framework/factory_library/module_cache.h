// CModuleCache: the component modules that the factory library has loaded, one per module, each
// configured once (SetDLLRegistry, SetFactoryHandle) and kept loaded, together with the idle
// notices the modules have sent. Any thread may call it. Its lock is a leaf: loading, unloading
// and every call into a module happen without it, so a module that calls the factory while it
// holds its own lock (its idle notice does) can never deadlock against it. A second lock is held
// while a newly loaded module is configured and published, so that two threads loading the same
// module for the first time configure it once.
//
// Unloading is delayed: a module is unloaded only when it has answered MirelDllCanUnloadNow with 1
// twice, the two answers a grace period apart, with nobody pinning it in between. The module's own
// answer covers a release or idle notification in progress; the grace period covers the last
// instructions of a call that returns into the module after its answer.
#ifndef MIREL_FRAMEWORK_MODULE_CACHE_H
#define MIREL_FRAMEWORK_MODULE_CACHE_H

#include <stdint.h>

#include <list>
#include <set>

#include "framework/critical_lock.h"
#include "framework/factory_library/factory_library.h"
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
    bool bLeaving;  // being asked a last time before it is unloaded; Acquire waits meanwhile
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

    // Unloads every unpinned module that has sent an idle notice and answers
    // MirelDllCanUnloadNow with 1 twice, a grace period apart; returns how many were unloaded.
    int32_t UnloadIdleModules();
    void SetUnloadGracePeriod(DWORD dwMilliseconds);

    int32_t LoadedModuleCount();

    // The handle given to every module with SetFactoryHandle: the factory library's own.
    void SetFactoryInstance(HINSTANCE hInstance) { m_hFactoryInstance = hInstance; }

private:
    CLoadedModule* FindByPathLocked(const char* szPath);
    CLoadedModule* FindByHandleLocked(HMODULE hModule);
    // Pins the cached record for hModule if there is one, else stores pNew (pinned) as its record.
    // Returns the record to use and whether the caller's own loader reference is now surplus.
    CLoadedModule* PublishLocked(const CLoadedModule& fresh, bool& bSurplusReference);

    // The second answer of one candidate: unloads it when it still answers 1.
    bool UnloadIfStillIdle(HMODULE hModule);

    CCriticalLock m_lock;
    CCriticalLock m_configureLock;
    std::list<CLoadedModule> m_modules;  // a list, so that records never move while pinned
    std::set<HMODULE> m_idleNotices;
    HINSTANCE m_hFactoryInstance = nullptr;
    DWORD m_dwGracePeriodMs = kMirFactDefaultUnloadGracePeriodMs;
};

extern CModuleCache ModuleCache;

#endif  // MIREL_FRAMEWORK_MODULE_CACHE_H
