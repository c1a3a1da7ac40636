#include "module/live_registry.h"

#include <inttypes.h>

#include <atomic>
#include <new>
#include <utility>

#include "factory/factory_loader.h"
#include "base/module_lock.h"
#include "base/module_state.h"
#include "base/module_trace.h"

namespace {

// The entry count mirrored for MirelDllCanUnloadNow, which reads it without the lock while other
// threads may be changing the map; it is written under the lock right after every change.
std::atomic<size_t> LiveCount{0};

void UpdateLiveCount() {
    LiveCount.store(LiveRegistry.size(), std::memory_order_release);
}

// The open module frames (low bits) and, in the top bit, an idle notification that is due. One
// word, so that it never reads 0 between a notification falling due and its being sent: the last
// frame to close takes the due notification over by turning the word from "due, no frame" into
// "one frame" in one step.
constexpr uint32_t kIdleNotificationDue = 0x80000000u;
std::atomic<uint32_t> ModuleActivity{0};

// The thread that MirelDllFreeMap releases components on; 0 when none. Written under the module
// lock, which MirelDllFreeMap holds throughout.
std::atomic<DWORD> FreeMapThread{0};

// Pointers are printed at the width of the platform's addresses: eight digits on 32-bit Windows,
// as the framework's tools expect, sixteen on 64-bit platforms.
constexpr int kPointerDigits = static_cast<int>(2 * sizeof(void*));

// Tells the factory that this module holds no component any more. Runs under the module lock, so
// the factory library is resolved, loaded and called while it is held, and in a module frame, so
// that the module does not count as idle before the notification has been delivered.
void SendIdleNotification() {
    TFactoryPtr factory;
    if (factory.m_pComponent == nullptr) {
        // No factory component could be had (no library, no factory, or no component 361); the
        // loader has already traced why, and there is nobody else to tell.
        return;
    }
    static_cast<IComponentFactory*>(factory.m_pComponent)->NotifyModuleUnloadable(ModuleInstance);
}

// Runs in a frame of its own; the registry may have changed since the notification fell due.
void SendDueIdleNotification() {
    CModuleLockScope lock;
    if (LiveRegistry.empty()) {
        SendIdleNotification();
    }
}

}  // namespace

LiveComponentMap::node_type ReserveLiveEntry() {
    try {
        LiveComponentMap spare;
        spare.emplace(nullptr, LiveComponentEntry{0, 0, nullptr});
        return spare.extract(spare.begin());
    } catch (const std::bad_alloc&) {
        return LiveComponentMap::node_type();
    }
}

void RecordLiveComponent(LiveComponentMap::node_type entry, IComponent* pComponent,
                         int32_t nComponentId, uint32_t nCreatorId) {
    const LiveComponentEntry fields{nComponentId, nCreatorId, pComponent};
    CModuleLockScope lock;
    entry.key() = pComponent;
    entry.mapped() = fields;
    // Inserting a node allocates nothing, so this cannot fail.
    LiveComponentMap::insert_return_type result = LiveRegistry.insert(std::move(entry));
    if (!result.inserted) {
        result.position->second = fields;
    }
    UpdateLiveCount();
}

void EnterModuleFrame() {
    ModuleActivity.fetch_add(1, std::memory_order_acq_rel);
}

void LeaveModuleFrame() {
    uint32_t nLeft = ModuleActivity.fetch_sub(1, std::memory_order_acq_rel) - 1;
    while (nLeft == kIdleNotificationDue) {
        // The last frame closed with a notification due: take it over, unless another thread has
        // opened a frame meanwhile (its close sends it) or taken it over already.
        uint32_t nExpected = kIdleNotificationDue;
        if (!ModuleActivity.compare_exchange_strong(nExpected, 1, std::memory_order_acq_rel)) {
            return;
        }
        SendDueIdleNotification();
        nLeft = ModuleActivity.fetch_sub(1, std::memory_order_acq_rel) - 1;
    }
}

void RemoveLiveComponent(IComponent* pComponent, int32_t bNotify) {
    // The frame closes after the lock is left, and sends the notification if it is the last.
    CModuleFrame frame;
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
        ModuleActivity.fetch_or(kIdleNotificationDue, std::memory_order_acq_rel);
    }
}

size_t LiveComponentCount() {
    return LiveCount.load(std::memory_order_acquire);
}

bool IsModuleIdle() {
    // The count first: a release empties the registry inside its frame, which stays open (or hands
    // over to a due notification) until the notification has been sent, so a count of 0 followed
    // by no activity means that no release is still at work, but for the return from it.
    return LiveComponentCount() == 0 && ModuleActivity.load(std::memory_order_acquire) == 0;
}

bool IsFreeMapReleasing() {
    return FreeMapThread.load(std::memory_order_acquire) == GetCurrentThreadId();
}

void FreeAutoFreeComponents() {
    CModuleLockScope lock;
    // Said once for the whole walk: none of these releases may wait (a nested call, from a
    // component's release on this thread, keeps the mark).
    const DWORD dwOuter = FreeMapThread.exchange(GetCurrentThreadId(), std::memory_order_acq_rel);
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
    FreeMapThread.store(dwOuter, std::memory_order_release);
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
