#include "framework/factory_library/module_cache.h"

#include <string.h>

#include <iterator>

#include "factory/bounded_strings.h"
#include "module/module_trace.h"

namespace {

// GetProcAddress hands out a generic function pointer; the real signature comes from the module
// contract, which going through void (*)() states.
template <class TFunction>
bool FindExport(HMODULE hModule, const char* szName, TFunction& pfnFunction) {
    FARPROC pfnProc = GetProcAddress(hModule, szName);
    pfnFunction = reinterpret_cast<TFunction>(reinterpret_cast<void (*)()>(pfnProc));
    return pfnFunction != nullptr;
}

// Returns the name of the first missing export, or null when the module has them all.
const char* FindModuleExports(HMODULE hModule, CModuleExports& exports) {
    if (!FindExport(hModule, "CreateComponent", exports.pfnCreateComponent)) {
        return "CreateComponent";
    }
    if (!FindExport(hModule, "SetDLLRegistry", exports.pfnSetDLLRegistry)) {
        return "SetDLLRegistry";
    }
    if (!FindExport(hModule, "SetFactoryHandle", exports.pfnSetFactoryHandle)) {
        return "SetFactoryHandle";
    }
    if (!FindExport(hModule, "GetComponentIDs", exports.pfnGetComponentIDs)) {
        return "GetComponentIDs";
    }
    if (!FindExport(hModule, "MirelDllCanUnloadNow", exports.pfnCanUnloadNow)) {
        return "MirelDllCanUnloadNow";
    }
    return nullptr;
}

}  // namespace

CLoadedModule* CModuleCache::FindByPathLocked(const char* szPath) {
    for (CLoadedModule& module : m_modules) {
        if (strcmp(module.szPath, szPath) == 0) {
            return &module;
        }
    }
    return nullptr;
}

CLoadedModule* CModuleCache::FindByHandleLocked(HMODULE hModule) {
    for (CLoadedModule& module : m_modules) {
        if (module.hModule == hModule) {
            return &module;
        }
    }
    return nullptr;
}

CLoadedModule* CModuleCache::PublishLocked(const CLoadedModule& fresh, bool& bSurplusReference) {
    // The same module may have been reached under another spelling of its path, or by another
    // thread loading it at the same moment: one record per module, whatever the path.
    CLoadedModule* pModule = FindByHandleLocked(fresh.hModule);
    bSurplusReference = pModule != nullptr;
    if (pModule == nullptr) {
        m_modules.push_back(fresh);
        pModule = &m_modules.back();
        pModule->nPins = 0;
    }
    ++pModule->nPins;
    return pModule;
}

CLoadedModule* CModuleCache::Acquire(const char* szModulePath, const char* szRegistryPath,
                                     int32_t nComponentId) {
    for (;;) {
        CCriticalLockScope scope(m_lock);
        CLoadedModule* pModule = FindByPathLocked(szModulePath);
        if (pModule == nullptr) {
            break;
        }
        if (!pModule->bLeaving) {
            ++pModule->nPins;
            return pModule;
        }
        // Its unloading is being decided by one more call into it; the answer is near.
        scope.Unlock();
        Sleep(0);
    }

    // Loading runs the module's start-up, which may itself ask the factory for things; so the
    // cache lock is not held here.
    CLoadedModule fresh;
    memset(&fresh, 0, sizeof(fresh));
    fresh.hModule = LoadLibraryA(szModulePath);
    if (fresh.hModule == nullptr) {
        TraceModuleError("MirFact: cannot load module %s for component %d\n", szModulePath,
                         static_cast<int>(nComponentId));
        return nullptr;
    }
    const char* szMissing = FindModuleExports(fresh.hModule, fresh.exports);
    if (szMissing != nullptr) {
        TraceModuleError(
            "MirFact: %s is not a component module (no %s export); component %d "
            "not created\n",
            szModulePath, szMissing, static_cast<int>(nComponentId));
        FreeLibrary(fresh.hModule);
        return nullptr;
    }
    CopyIfFits(fresh.szPath, kPathBufferSize, szModulePath);

    // Two threads that load the same module for the first time meet here: the first configures
    // and publishes it, the second finds it published and gives its loader reference back.
    bool bSurplusReference = false;
    CLoadedModule* pModule = nullptr;
    {
        CCriticalLockScope configuring(m_configureLock);
        {
            CCriticalLockScope scope(m_lock);
            pModule = FindByHandleLocked(fresh.hModule);
            if (pModule != nullptr) {
                ++pModule->nPins;
                bSurplusReference = true;
            }
        }
        if (pModule == nullptr) {
            // Configured before it is published, so that no thread creates a component in a
            // module that does not know its configuration yet. The registry path is the one the
            // first component was asked with; the module keeps it for as long as it stays loaded.
            fresh.exports.pfnSetDLLRegistry(szRegistryPath);
            fresh.exports.pfnSetFactoryHandle(m_hFactoryInstance);
            CCriticalLockScope scope(m_lock);
            pModule = PublishLocked(fresh, bSurplusReference);
        }
    }
    if (bSurplusReference) {
        // The cache already holds its reference to this module.
        FreeLibrary(fresh.hModule);
    }
    return pModule;
}

void CModuleCache::Unpin(CLoadedModule* pModule) {
    CCriticalLockScope scope(m_lock);
    --pModule->nPins;
}

void CModuleCache::RecordIdleNotice(HMODULE hModule) {
    CCriticalLockScope scope(m_lock);
    m_idleNotices.insert(hModule);
}

void CModuleCache::SetUnloadGracePeriod(DWORD dwMilliseconds) {
    CCriticalLockScope scope(m_lock);
    m_dwGracePeriodMs = dwMilliseconds;
}

int32_t CModuleCache::UnloadIdleModules() {
    struct SCandidate {
        HMODULE hModule;
        MirelDllCanUnloadNowFn pfnCanUnloadNow;
    };
    std::list<SCandidate> candidates;
    DWORD dwGracePeriodMs = 0;
    {
        CCriticalLockScope scope(m_lock);
        // A notice from a module the factory did not load (the host loaded it itself) is not the
        // factory's to act on; a pinned module's notice waits for the next call.
        for (std::set<HMODULE>::iterator it = m_idleNotices.begin(); it != m_idleNotices.end();) {
            CLoadedModule* pModule = FindByHandleLocked(*it);
            if (pModule == nullptr) {
                it = m_idleNotices.erase(it);
                continue;
            }
            if (pModule->nPins == 0 && !pModule->bLeaving) {
                candidates.push_back(
                    SCandidate{pModule->hModule, pModule->exports.pfnCanUnloadNow});
            }
            ++it;
        }
        dwGracePeriodMs = m_dwGracePeriodMs;
    }

    // The first answer. A module that is busy again made its notice stale.
    for (std::list<SCandidate>::iterator it = candidates.begin(); it != candidates.end();) {
        if (it->pfnCanUnloadNow() == 1) {
            ++it;
            continue;
        }
        CCriticalLockScope scope(m_lock);
        m_idleNotices.erase(it->hModule);
        it = candidates.erase(it);
    }
    if (candidates.empty()) {
        return 0;
    }
    if (dwGracePeriodMs != 0) {
        Sleep(dwGracePeriodMs);
    }

    int32_t nUnloaded = 0;
    for (const SCandidate& candidate : candidates) {
        nUnloaded += UnloadIfStillIdle(candidate.hModule) ? 1 : 0;
    }
    return nUnloaded;
}

bool CModuleCache::UnloadIfStillIdle(HMODULE hModule) {
    CLoadedModule* pModule = nullptr;
    {
        CCriticalLockScope scope(m_lock);
        pModule = FindByHandleLocked(hModule);
        if (pModule == nullptr || pModule->nPins != 0 || pModule->bLeaving ||
            m_idleNotices.count(hModule) == 0) {
            return false;
        }
        // From here nobody can pin it until the second answer is in.
        pModule->bLeaving = true;
    }
    const bool bIdle = pModule->exports.pfnCanUnloadNow() == 1;
    {
        CCriticalLockScope scope(m_lock);
        m_idleNotices.erase(hModule);
        if (!bIdle) {
            pModule->bLeaving = false;
            return false;
        }
        for (std::list<CLoadedModule>::iterator it = m_modules.begin(); it != m_modules.end();
             ++it) {
            if (&*it == pModule) {
                m_modules.erase(it);
                break;
            }
        }
    }
    FreeLibrary(hModule);
    return true;
}

int32_t CModuleCache::LoadedModuleCount() {
    CCriticalLockScope scope(m_lock);
    return static_cast<int32_t>(m_modules.size());
}
