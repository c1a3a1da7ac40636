#include "module/live_registry.h"

#include <inttypes.h>

#include <atomic>

#include "factory/factory_loader.h"
#include "module/module_lock.h"
#include "module/module_state.h"
#include "module/module_trace.h"

namespace {

// The entry count mirrored for MirelDllCanUnloadNow, which reads it without the lock while other
// threads may be changing the map; it is written under the lock right after every change.
std::atomic<size_t> LiveCount{0};

void UpdateLiveCount() {
    LiveCount.store(LiveRegistry.size(), std::memory_order_release);
}

// Pointers are printed at the width of the platform's addresses: eight digits on 32-bit Windows,
// as the framework's tools expect, sixteen on 64-bit platforms.
constexpr int kPointerDigits = static_cast<int>(2 * sizeof(void*));

// Tells the factory that this module holds no component any more. Runs under the module lock, so
// the factory library is resolved, loaded and called while it is held.
void SendIdleNotification() {
    TFactoryPtr factory;
    if (factory.m_pComponent == nullptr) {
        // No factory component could be had (no library, no factory, or no component 361); the
        // loader has already traced why, and there is nobody else to tell.
        return;
    }
    static_cast<IComponentFactory*>(factory.m_pComponent)->NotifyModuleUnloadable(ModuleInstance);
}

}  // namespace

void RecordLiveComponent(IComponent* pComponent, int32_t nComponentId, uint32_t nCreatorId) {
    CModuleLockScope lock;
    LiveComponentEntry& entry = LiveRegistry[pComponent];
    entry.nComponentId = nComponentId;
    entry.nCreatorId = nCreatorId;
    entry.pComponent = pComponent;
    UpdateLiveCount();
}

void RemoveLiveComponent(IComponent* pComponent, int32_t bNotify) {
    CModuleLockScope lock;
    LiveComponentMap::iterator it = LiveRegistry.find(pComponent);
    if (it == LiveRegistry.end()) {
        TraceModuleError("Mirel[Error]: To remove a component not exist\n");
        TraceModuleError("Mirel[Error]: IComponent* = 0x%p\n", static_cast<void*>(pComponent));
    } else {
        LiveRegistry.erase(it);
        UpdateLiveCount();
    }
    if (LiveRegistry.empty() && bNotify != 0) {
        SendIdleNotification();
    }
}

size_t LiveComponentCount() {
    return LiveCount.load(std::memory_order_acquire);
}

void FreeAutoFreeComponents() {
    CModuleLockScope lock;
    LiveComponentMap::iterator it = LiveRegistry.begin();
    while (it != LiveRegistry.end()) {
        // A release may erase this entry, or any other, through RemoveLiveComponent on this
        // thread; only the remembered key is used afterwards.
        IComponent* pKey = it->first;
        IComponent* pComponent = it->second.pComponent;
        if (pComponent->GetAutoFree() != 0) {
            pComponent->Release(0);
        }
        it = LiveRegistry.find(pKey);
        if (it != LiveRegistry.end()) {
            ++it;
        } else {
            // The walk's position is gone with the entry: start again from the lowest address.
            it = LiveRegistry.begin();
        }
    }
}

void ReportLeaks() {
    CModuleLockScope lock;
    if (LiveRegistry.empty()) {
        return;
    }
    static const char kBanner[] =
        "Mirel[Error]:=================================================================\n";
    TraceModuleError("%s", kBanner);
    TraceModuleError("Mirel[Error]:Found leak Mirel components. Count:%d\n",
                     static_cast<int>(LiveRegistry.size()));
    for (const LiveComponentMap::value_type& item : LiveRegistry) {
        TraceModuleError("Mirel[Error]:ComponentID:0x%08x CreatorID:0x%08x Pointer:0x%0*" PRIxPTR
                         "\n",
                         static_cast<unsigned>(item.second.nComponentId),
                         static_cast<unsigned>(item.second.nCreatorId), kPointerDigits,
                         reinterpret_cast<uintptr_t>(item.second.pComponent));
    }
    TraceModuleError("%s", kBanner);
}
