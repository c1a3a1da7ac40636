// Factory loader and component pointers: how the module reaches the framework's factory library
// and creates components of other modules through its factory component (ID 361). Runs on the
// caller's thread and takes no lock of its own; TFactoryPtr is used under the module lock.
#ifndef MIREL_FACTORY_FACTORY_LOADER_H
#define MIREL_FACTORY_FACTORY_LOADER_H

#include <stdint.h>

#include "mirel/component.h"
#include "mirel/component_factory.h"
#include "base/printf_like.h"
#include "platform/windows_api.h"

// Writes one "[Mirel_Error]" line: at most 1022 characters, formatted through the routine table.
void TraceFactoryError(const char* szFormat, ...) MIREL_PRINTF_LIKE(1, 2);

// Calls the module's exported "CreateComponent" with the ID and creator 0; null on failure.
IComponentFactory* CreateFactoryFromModule(HMODULE hModule, int32_t nComponentId);

// Loads the factory library for the registry path (or takes FactoryHandle) and returns a factory
// component from its entry point, tracing each failure; null when there is none.
IComponentFactory* LoadFactory(const char* szRegistryPath);

// Owns the component it obtained through the factory and releases it when it ends.
class TMirelPtr {
public:
    TMirelPtr(const char* szRegistryPath, int32_t nComponentId);
    virtual ~TMirelPtr();
    TMirelPtr(const TMirelPtr&) = delete;
    TMirelPtr& operator=(const TMirelPtr&) = delete;

    IComponent* m_pComponent;       // owned; null when none or handed on
    IComponentFactory* m_pFactory;  // from the library's entry point; never released
};

// The factory pointer of the idle notification: obtains a factory component (ID 361) through the
// module's registry path and releases nothing when it ends.
class TFactoryPtr {
public:
    TFactoryPtr();
    virtual ~TFactoryPtr();
    TFactoryPtr(const TFactoryPtr&) = delete;
    TFactoryPtr& operator=(const TFactoryPtr&) = delete;

    IComponent* m_pComponent;       // a factory component; never released here
    IComponentFactory* m_pFactory;  // from the library's entry point; never released
};

// Creates a component by ID and hands it to the caller, who ends it with Release.
// Returns 1 when a component was stored at *ppComponent, else 0 (the variable keeps its value).
int32_t CreateComponentInto(IComponent** ppComponent, int32_t nComponentId,
                            const char* szRegistryPath);

// A factory component from a factory library already loaded in the process, or null; nothing is
// loaded and the caller does not release it.
IComponentFactory* FindLoadedFactory();

#endif  // MIREL_FACTORY_FACTORY_LOADER_H
