// LiveRegistry: every component this module has handed out and that has not been released yet,
// ordered by address. CreateComponent adds to it, a component's release removes from it; it
// answers MirelDllCanUnloadNow, drives MirelDllFreeMap, tells the factory when the module becomes
// idle and reports leaks at unload. Everything but the count read runs under the module lock.
#ifndef MIREL_MODULE_LIVE_REGISTRY_H
#define MIREL_MODULE_LIVE_REGISTRY_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <memory>

#include "base/module_state.h"
#include "mirel/component.h"

struct LiveComponentEntry {
    int32_t nComponentId;    // as asked of CreateComponent
    uint32_t nCreatorId;     // as passed to CreateComponent
    IComponent* pComponent;  // equal to the entry's key
};

// Keys compare as unsigned addresses, so every walk runs in ascending address order.
struct AddressLess {
    bool operator()(const IComponent* a, const IComponent* b) const {
        return reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b);
    }
};

// The registry's allocator: the standard one, except that at process exit (ProcessExiting) it
// frees nothing, since a thread the exit ended may have held the heap's lock.
template <class T>
struct TExitSafeAllocator {
    using value_type = T;
    TExitSafeAllocator() = default;
    template <class U>
    TExitSafeAllocator(const TExitSafeAllocator<U>&) {}
    T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, size_t n) {
        if (!ProcessExiting.load(std::memory_order_relaxed)) {
            std::allocator<T>().deallocate(p, n);
        }
    }
    template <class U>
    bool operator==(const TExitSafeAllocator<U>&) const {
        return true;
    }
    template <class U>
    bool operator!=(const TExitSafeAllocator<U>&) const {
        return false;
    }
};

using LiveComponentMap =
    std::map<IComponent*, LiveComponentEntry, AddressLess,
             TExitSafeAllocator<std::pair<IComponent* const, LiveComponentEntry>>>;

// Defined by each module's list of static objects, first of all, so that it outlives the other
// statics; its destruction drops the entries without calling their components.
extern LiveComponentMap LiveRegistry;

// A registry entry allocated ahead of a creation, so that recording the new component cannot run
// out of memory once it exists. Empty when memory has run out already.
LiveComponentMap::node_type ReserveLiveEntry();

// Records a component that a creation function returned, in the entry reserved for it; a pointer
// already present has its entry overwritten (and the reserved one is freed). Takes the module lock.
void RecordLiveComponent(LiveComponentMap::node_type entry, IComponent* pComponent,
                         int32_t nComponentId, uint32_t nCreatorId);

// Erases the entry of a destroyed component (the pointer is never called through) and, when the
// registry is then empty and bNotify is non-zero, tells the factory that the module is idle: as
// soon as no module frame (below) is left, this release's own included, and only if the registry
// is still empty then.
void RemoveLiveComponent(IComponent* pComponent, int32_t bNotify);

// Number of live components, read without the lock.
size_t LiveComponentCount();

// A module frame: a stretch of this module's code that a thread runs for a component while the
// registry may not show it (a creation, a release and its idle notification, a dispatch into a
// handler that may release the last component and go on running). While any is open the module is
// not idle, and an idle notification due meanwhile goes out when the last one closes. Two atomic
// operations; any thread, nested as deep as needed.
void EnterModuleFrame();
void LeaveModuleFrame();
class CModuleFrame {
public:
    CModuleFrame() { EnterModuleFrame(); }
    ~CModuleFrame() { LeaveModuleFrame(); }
    CModuleFrame(const CModuleFrame&) = delete;
    CModuleFrame& operator=(const CModuleFrame&) = delete;
};

// True when no component is live, no module frame is open and no idle notification is due or
// under way: only then may the module be unloaded. Another thread merely holding the module lock
// (SetDLLRegistry, GetComponentIDs, a MirelDllFreeMap with nothing to free) does not count. Takes
// no lock.
bool IsModuleIdle();

// Releases every live component whose GetAutoFree answers non-zero, holding the module lock. These
// releases must not wait for anything (see IsFreeMapReleasing).
void FreeAutoFreeComponents();

// True on the thread whose MirelDllFreeMap is releasing components right now. A component whose
// handler is running on another thread must then not wait for it (that handler may be waiting for
// the module lock) but keep itself alive and end when the handler has returned.
bool IsFreeMapReleasing();

// Traces the live components still registered; used by the process-detach step.
void ReportLeaks();

#endif  // MIREL_MODULE_LIVE_REGISTRY_H
