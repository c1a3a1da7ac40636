// The seven exported functions through which the factory library drives the module.
#include "mirel/exports.h"

#include <utility>

#include "module/factory_table.h"
#include "module/live_registry.h"
#include "base/module_lock.h"
#include "base/module_state.h"
#include "base/module_trace.h"

namespace {

// A creation function of a module built on this frame may throw (a plain new that runs out of
// memory); no exception may leave through the export, so a throw counts as no component.
IComponent* CallCreateFunction(ComponentCreateFn pfnCreate) {
    try {
        return pfnCreate();
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

extern "C" {

IComponent* CreateComponent(int32_t nComponentId, uint32_t nCreatorId) {
    // Until the new component is recorded, only this frame keeps the module from counting as idle.
    CModuleFrame frame;
    ComponentCreateFn pfnCreate = FindCreateFunction(nComponentId);
    if (pfnCreate == nullptr) {
        TraceModuleError("Mirel[Error]: Can't find the factory method of Component\n");
        TraceModuleError("Mirel[Error]: ComponentID=%d CreatorID=%u", nComponentId, nCreatorId);
        return nullptr;
    }
    // The registry's entry is allocated before the component exists, so that once it does, its
    // recording cannot fail and the component can never be left behind unrecorded.
    LiveComponentMap::node_type entry = ReserveLiveEntry();
    if (entry.empty()) {
        TraceModuleError(
            "Mirel[Error]: Out of memory for the registry. ComponentID=%d CreatorID=%u\n",
            nComponentId, nCreatorId);
        return nullptr;
    }
    // Without the lock: a creation function may itself call into the module.
    IComponent* pComponent = CallCreateFunction(pfnCreate);
    if (pComponent == nullptr) {
        TraceModuleError("Mirel[Error]:CreateComponent method return NULL.\n");
        TraceModuleError("Mirel[Error]: ComponentID=%d CreatorID=%u", nComponentId, nCreatorId);
        return nullptr;
    }
    RecordLiveComponent(std::move(entry), pComponent, nComponentId, nCreatorId);
    return pComponent;
}

int32_t SetDLLRegistry(const char* szPath) {
    CModuleLockScope lock;
    // A path that does not fit is treated as no path at all rather than cut: a cut path would name
    // another file.
    StoreRegistryPath(szPath);
    return 0;
}

void MirelDllFreeMap(void) {
    FreeAutoFreeComponents();
}

int32_t MirelDllCanUnloadNow(void) {
    return IsModuleIdle() ? 1 : 0;
}

void* SetFactoryHandle(void* hFactory) {
    FactoryHandle = static_cast<HMODULE>(hFactory);
    return hFactory;
}

int32_t MirelSetDllSafe(int32_t nSafe) {
    DllSafe = nSafe;
    return nSafe;
}

int32_t GetComponentIDs(int32_t* pIds, uint32_t nCount) {
    return CopyFactoryTableIds(pIds, nCount);
}

}  // extern "C"
