// CFactoryLibraryHost: MirFact.dll loaded from the test program's folder and driven through its
// exports, as a host drives it. The test program's own thread only; one per test.
#ifndef MIREL_TESTS_SUPPORT_FACTORY_LIBRARY_HOST_H
#define MIREL_TESTS_SUPPORT_FACTORY_LIBRARY_HOST_H

#include <string>

#include "framework/factory_library/factory_library.h"
#include "mirel/component_factory.h"
#include "platform/windows_api.h"

class CFactoryLibraryHost {
public:
    // Loads the library and takes its factory component; Loaded() tells whether that worked.
    CFactoryLibraryHost();
    // Lets go of the library only when it holds no module any more: a module it loaded would keep
    // calling into it.
    ~CFactoryLibraryHost();
    CFactoryLibraryHost(const CFactoryLibraryHost&) = delete;
    CFactoryLibraryHost& operator=(const CFactoryLibraryHost&) = delete;

    bool Loaded() const { return m_pFactory != nullptr; }
    IComponentFactory* Factory() const { return m_pFactory; }
    // The library's exported "CreateComponent".
    IComponent* EntryPoint(int32_t nComponentId, uint32_t nCreatorId) const;
    int32_t UnloadIdleModules() const;
    void SetUnloadGracePeriod(uint32_t nMilliseconds) const;
    int32_t LoadedModuleCount() const;

private:
    HMODULE m_hLibrary;
    CreateComponentFn m_pfnCreateComponent;
    MirFactUnloadIdleModulesFn m_pfnUnloadIdleModules;
    MirFactLoadedModuleCountFn m_pfnLoadedModuleCount;
    MirFactSetUnloadGracePeriodFn m_pfnSetUnloadGracePeriod;
    IComponentFactory* m_pFactory;
};

// The Windows path of a file beside the test program (where the build puts every module).
std::string BinaryFile(const std::string& name);

#endif  // MIREL_TESTS_SUPPORT_FACTORY_LIBRARY_HOST_H
