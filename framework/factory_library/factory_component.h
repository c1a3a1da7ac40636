// CFactoryComponent: the factory component (ID 361) of the factory library, one object for the
// whole process. Modules and hosts create components of any module through it, modules register
// their configuration records with it and tell it when they have become idle. Any thread may call
// it; it keeps no state of its own beyond the module cache and the configuration words.
#ifndef MIREL_FRAMEWORK_FACTORY_COMPONENT_H
#define MIREL_FRAMEWORK_FACTORY_COMPONENT_H

#include <stdint.h>

#include <atomic>

#include "mirel/component_factory.h"

// The creator ID the factory passes to a module's CreateComponent: its own component ID.
constexpr uint32_t kFactoryCreatorId = static_cast<uint32_t>(kFactoryComponentId);

class CFactoryComponent : public IComponentFactory {
public:
    CFactoryComponent() : m_bAutoFree(0) {}
    CFactoryComponent(const CFactoryComponent&) = delete;
    CFactoryComponent& operator=(const CFactoryComponent&) = delete;

    int32_t GetComponentID() override { return kFactoryComponentId; }
    int32_t GetComponentVersion() override { return 1; }
    // The one factory object lives as long as the library: modules never release what the entry
    // point gives them, and a release that does come changes nothing.
    void Release(int32_t /*nForce*/) override {}
    int32_t GetAutoFree() override { return m_bAutoFree.load(); }
    void SetAutoFree(int32_t bAutoFree) override { m_bAutoFree.store(bAutoFree); }

    // 361 gives this object again. Any other ID: the module that section "Components" of the
    // configuration names for it, loaded once, creates the component; null with a diagnostic line
    // when there is no such module, it cannot be loaded, it is no component module, it does not
    // list the ID, or it creates nothing.
    IComponent* CreateComponentByID(int32_t nComponentId, const char* szRegistryPath) override;
    // Points *ppRecord at the component's two words from section "ComponentConfig", or leaves it
    // null. The record itself and its word at offset 4 are not written. Returns 1 when words were
    // given, else 0.
    int32_t LoadComponentConfig(const char* szRegistryPath, int32_t nComponentId,
                                ComponentConfig* pConfig, int32_t* pWord4,
                                int32_t** ppRecord) override;
    int32_t Reserved7() override { return 0; }
    int32_t Reserved8() override { return 0; }
    int32_t Reserved9() override { return 0; }
    // Records the notice only: it arrives from inside the module's Release, under its lock, and
    // unloading the module there would return into unloaded code. The host unloads idle modules
    // later, with MirFactUnloadIdleModules. Returns 1.
    int32_t NotifyModuleUnloadable(void* hModuleInstance) override;

private:
    std::atomic<int32_t> m_bAutoFree;
};

extern CFactoryComponent FactoryComponent;

#endif  // MIREL_FRAMEWORK_FACTORY_COMPONENT_H
