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
    {
        CCriticalLockScope scope(m_lock);
        CLoadedModule* pModule = FindByPathLocked(szModulePath);
        if (pModule != nullptr) {
            ++pModule->nPins;
            return pModule;
        }
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

    bool bSurplusReference = false;
    CLoadedModule* pModule = nullptr;
    {
        CCriticalLockScope scope(m_lock);
        pModule = FindByHandleLocked(fresh.hModule);
        if (pModule != nullptr) {
            ++pModule->nPins;
            bSurplusReference = true;
        }
    }
    if (pModule == nullptr) {
        // Configured before it is published, so that no thread creates a component in a module
        // that does not know its configuration yet. The registry path is the one the first
        // component was asked with; the module keeps it for as long as it stays loaded.
        fresh.exports.pfnSetDLLRegistry(szRegistryPath);
        fresh.exports.pfnSetFactoryHandle(m_hFactoryInstance);
        CCriticalLockScope scope(m_lock);
        pModule = PublishLocked(fresh, bSurplusReference);
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

int32_t CModuleCache::UnloadIdleModules() {
    // Candidates leave the cache first, so that nobody can pin them while they are examined; a
    // thread that asks for one of them meanwhile loads it afresh, which only adds a reference.
    std::list<CLoadedModule> candidates;
    {
        CCriticalLockScope scope(m_lock);
        for (std::list<CLoadedModule>::iterator it = m_modules.begin(); it != m_modules.end();) {
            std::list<CLoadedModule>::iterator next = std::next(it);
            if (it->nPins == 0 && m_idleNotices.erase(it->hModule) != 0) {
                candidates.splice(candidates.end(), m_modules, it);
            }
            it = next;
        }
        // A notice from a module the factory did not load (the host loaded it itself) is not the
        // factory's to act on; a pinned module's notice waits for the next call.
        for (std::set<HMODULE>::iterator it = m_idleNotices.begin(); it != m_idleNotices.end();) {
            it = FindByHandleLocked(*it) != nullptr ? std::next(it) : m_idleNotices.erase(it);
        }
    }

    int32_t nUnloaded = 0;
    std::list<HMODULE> surplus;
    for (std::list<CLoadedModule>::iterator it = candidates.begin(); it != candidates.end();) {
        std::list<CLoadedModule>::iterator next = std::next(it);
        // The notice may be stale: a component made after it keeps the module busy.
        if (it->exports.pfnCanUnloadNow() == 1) {
            FreeLibrary(it->hModule);
            ++nUnloaded;
        } else {
            CCriticalLockScope scope(m_lock);
            if (FindByHandleLocked(it->hModule) != nullptr) {
                surplus.push_back(it->hModule);  // reloaded meanwhile: one record is enough
            } else {
                m_modules.splice(m_modules.end(), candidates, it);
            }
        }
        it = next;
    }
    for (HMODULE hModule : surplus) {
        FreeLibrary(hModule);
    }
    return nUnloaded;
}

int32_t CModuleCache::LoadedModuleCount() {
    CCriticalLockScope scope(m_lock);
    return static_cast<int32_t>(m_modules.size());
}
