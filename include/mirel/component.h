// IComponent: the interface every component of the framework shares.
// Other modules call it by slot position, so the order of the operations below is a contract and
// must never change. A component's own interface continues the slots after SetAutoFree.
// Thread rule: calls into one component must not overlap; the framework does not lock for you.
#ifndef MIREL_COMPONENT_H
#define MIREL_COMPONENT_H

#include <stdint.h>

// Component IDs known to every module of the framework.
enum : int32_t {
    kMessageWindowComponentId = 33,
    kFactoryComponentId = 361,
    kTimerComponentId = 795,
};

class IComponent {
public:
    virtual int32_t GetComponentID() = 0;             // slot 0
    virtual int32_t GetComponentVersion() = 0;        // slot 1
    virtual void Release(int32_t nForce) = 0;         // slot 2: the only way a component ends
    virtual int32_t GetAutoFree() = 0;                // slot 3
    virtual void SetAutoFree(int32_t bAutoFree) = 0;  // slot 4

protected:
    // No virtual destructor: the slot table is shared across modules and a component is ended
    // through Release, never deleted by its client.
    ~IComponent() = default;
};

#endif  // MIREL_COMPONENT_H
