// TComponentImpl: the base of every component this module hands out. It answers the operations
// that all components share and owns the one release path by which a component ends: the DllSafe
// gate, the force-only gate, one Shutdown, the hold count, destruction and removal from the
// live-component registry. Calls into one component must not overlap; nothing here takes a lock
// except the destruction with its registry removal, which runs under the module lock.
#ifndef MIREL_COMPONENT_COMPONENT_IMPL_H
#define MIREL_COMPONENT_COMPONENT_IMPL_H

#include <stdint.h>

#include <atomic>

#include "component/component_holder.h"
#include "mirel/component.h"
#include "module/live_registry.h"
#include "module/module_state.h"

// Copies the path (or, when it is null or empty, the module's registry path) into the buffer when
// it fits whole; otherwise the buffer keeps what it held.
void CopyRegistryPath(const char* szPath, char* szBuffer, int32_t nSize);

// The end of every release: destroys the component and removes its former address from the
// live-component registry in one step under the module lock, so that no other thread can record a
// new component at that address in between, nor walk the registry onto the destroyed object. The
// address is never called through once the object is gone.
void DestroyReleasedComponent(CComponentHolder* pHolder, IComponent* pAddress, int32_t bNotify);

// Traps a component destroyed while alive or held, then lets destruction go on.
void ReportDestroyedWhileAlive();

// The interface comes first so that the object's address is its IComponent pointer; the holder
// second, whose virtual destructor is the object's only one.
template <class TInterface, int32_t kComponentId>
class TComponentImpl : public TInterface, public CComponentHolder {
public:
    TComponentImpl() : m_bAlive(1), m_nHoldCount(0), m_bForceOnly(0), m_bAutoFree(0) {}

    int32_t GetComponentID() override { return kComponentId; }
    int32_t GetComponentVersion() override { return 1; }

    void Release(int32_t nForce) override {
        if (DllSafe == 0) {
            return;
        }
        if (m_bForceOnly != 0 && nForce == 0) {
            return;
        }
        if (m_bAlive != 0) {
            Shutdown();
            DestroyMapElements();
            // Cleared only now, so that Shutdown still sees a live component.
            m_bAlive = 0;
        }
        if (m_nHoldCount != 0) {
            return;
        }
        const int32_t bNotify = this->GetComponentID() != kFactoryComponentId ? 1 : 0;
        DestroyReleasedComponent(this, this, bNotify);
    }

    int32_t GetAutoFree() override { return m_bAutoFree; }
    void SetAutoFree(int32_t bAutoFree) override { m_bAutoFree = bAutoFree; }

    // The two operations behind the interface's last slot, in this order.
    virtual void Shutdown() = 0;
    virtual void ResolveRegistryPath(const char* szPath, char* szBuffer, int32_t nSize) {
        CopyRegistryPath(szPath, szBuffer, nSize);
    }

    // Declared after the slots above so that it can never shift them.
    ~TComponentImpl() override {
        if (m_bAlive != 0 || m_nHoldCount != 0) {
            ReportDestroyedWhileAlive();
        }
    }

protected:
    int32_t m_bAlive;      // non-zero until Release has run Shutdown
    int32_t m_nHoldCount;  // while non-zero, Release keeps the object (for derived components)
    int32_t m_bForceOnly;  // while non-zero, only a forced Release passes (for derived components)
    // MirelDllFreeMap releases only components that set it. Atomic: MirelDllFreeMap reads it on
    // its own thread while the component's owner may be setting it on another.
    std::atomic<int32_t> m_bAutoFree;
};

#endif  // MIREL_COMPONENT_COMPONENT_IMPL_H
