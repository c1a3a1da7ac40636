// IComponentFactory: the framework's factory component (component ID 361), handed out by the
// factory library's exported "CreateComponent". Modules create components of other modules
// through it, register configuration records with it and tell it when they have become idle.
// Factory components obtained from the library's entry point are never released by a module.
#ifndef MIREL_COMPONENT_FACTORY_H
#define MIREL_COMPONENT_FACTORY_H

#include "mirel/component.h"
#include "mirel/component_config.h"

class IComponentFactory : public IComponent {
public:
    // Slot 5: a new component of that ID, owned by the caller, or null.
    virtual IComponent* CreateComponentByID(int32_t nComponentId, const char* szRegistryPath) = 0;
    // Slot 6: may leave *ppRecord pointing at two words that the factory owns.
    virtual int32_t LoadComponentConfig(const char* szRegistryPath, int32_t nComponentId,
                                        ComponentConfig* pConfig, int32_t* pWord4,
                                        int32_t** ppRecord) = 0;
    // Slots 7 to 9 are the factory's own business; modules never call them.
    virtual int32_t Reserved7() = 0;
    virtual int32_t Reserved8() = 0;
    virtual int32_t Reserved9() = 0;
    // Slot 10: the module identified by its instance handle holds no live component any more.
    virtual int32_t NotifyModuleUnloadable(void* hModuleInstance) = 0;

protected:
    ~IComponentFactory() = default;
};

// The factory library's file name: modules find it by this name, loaded or not.
constexpr char kFactoryLibraryName[] = "MirFact.dll";

// Signature of every module's exported "CreateComponent", the factory library's included.
typedef IComponent* (*CreateComponentFn)(int32_t nComponentId, uint32_t nCreatorId);

#endif  // MIREL_COMPONENT_FACTORY_H
