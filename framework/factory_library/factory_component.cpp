#include "framework/factory_library/factory_component.h"

#include <algorithm>
#include <vector>

#include "framework/factory_library/factory_config.h"
#include "framework/factory_library/module_cache.h"
#include "base/module_trace.h"

namespace {

// Asks the module for the component, after checking that its table lists the ID: a module is
// only asked for what it says it makes.
IComponent* CreateInModule(const CachedModule& module, int32_t nComponentId) {
    const ModuleExports& exports = module.exports;
    const int32_t nRows = exports.pfnGetComponentIDs(nullptr, 0);
    std::vector<int32_t> ids(static_cast<size_t>(std::max<int32_t>(nRows, 0)));
    if (!ids.empty()) {
        exports.pfnGetComponentIDs(ids.data(), static_cast<uint32_t>(ids.size()));
    }
    if (std::find(ids.begin(), ids.end(), nComponentId) == ids.end()) {
        TraceModuleError("MirFact: module %s does not provide component %d\n", module.szPath,
                         static_cast<int>(nComponentId));
        return nullptr;
    }
    IComponent* pComponent = exports.pfnCreateComponent(nComponentId, kFactoryCreatorId);
    if (pComponent == nullptr) {
        TraceModuleError("MirFact: module %s created no component %d\n", module.szPath,
                         static_cast<int>(nComponentId));
    }
    return pComponent;
}

}  // namespace

IComponent* CFactoryComponent::CreateComponentByID(int32_t nComponentId,
                                                   const char* szRegistryPath) {
    if (nComponentId == kFactoryComponentId) {
        // Answered without any lock or file: a module asks for it while it holds its own lock.
        return this;
    }
    char szModulePath[kPathBufferSize];
    if (!FindComponentModule(szRegistryPath, nComponentId, szModulePath, kPathBufferSize)) {
        return nullptr;
    }
    CachedModule* pModule = ModuleCache.Acquire(szModulePath, szRegistryPath, nComponentId);
    if (pModule == nullptr) {
        return nullptr;
    }
    // Pinned while the module is called, so that an unload cannot take it away meanwhile.
    IComponent* pComponent = CreateInModule(*pModule, nComponentId);
    if (pComponent == nullptr && pModule->exports.pfnCanUnloadNow() == 1) {
        // A module that gave nothing and holds nothing will never send an idle notice of its own;
        // it counts as idle, so that the host can unload it like any other.
        ModuleCache.RecordIdleNotice(pModule->hModule);
    }
    ModuleCache.Unpin(pModule);
    return pComponent;
}

int32_t CFactoryComponent::LoadComponentConfig(const char* szRegistryPath, int32_t nComponentId,
                                               ComponentConfig* /*pConfig*/, int32_t* /*pWord4*/,
                                               int32_t** ppRecord) {
    if (ppRecord == nullptr) {
        return 0;
    }
    const int32_t* pWords = FindComponentConfigWords(szRegistryPath, nComponentId);
    if (pWords == nullptr) {
        return 0;
    }
    // The interface hands the words out writable; callers only copy them.
    *ppRecord = const_cast<int32_t*>(pWords);
    return 1;
}

int32_t CFactoryComponent::NotifyModuleUnloadable(void* hModuleInstance) {
    ModuleCache.RecordIdleNotice(static_cast<HMODULE>(hModuleInstance));
    return 1;
}
