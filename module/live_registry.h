// LiveRegistry: every component this module has handed out and that has not been released yet,
// ordered by address. CreateComponent adds to it, a component's release removes from it; it
// answers MirelDllCanUnloadNow, drives MirelDllFreeMap, tells the factory when the module becomes
// idle and reports leaks at unload. Everything but the count read runs under the module lock.
#ifndef MIREL_MODULE_LIVE_REGISTRY_H
#define MIREL_MODULE_LIVE_REGISTRY_H

#include <stddef.h>
#include <stdint.h>

#include <map>

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

using LiveComponentMap = std::map<IComponent*, LiveComponentEntry, AddressLess>;

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
// registry is then empty and bNotify is non-zero, tells the factory that the module is idle.
void RemoveLiveComponent(IComponent* pComponent, int32_t bNotify);

// Number of live components, read without the lock.
size_t LiveComponentCount();

// True when no component is live and no other thread is inside the module lock, where a release
// and its idle notification run: only then may the module be unloaded. Takes no lock.
bool IsModuleIdle();

// Releases every live component whose GetAutoFree answers non-zero.
void FreeAutoFreeComponents();

// Traces the live components still registered; used by the process-detach step.
void ReportLeaks();

#endif  // MIREL_MODULE_LIVE_REGISTRY_H
