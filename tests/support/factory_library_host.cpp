#include "tests/support/factory_library_host.h"

#include "tests/support/temp_dir.h"

namespace {

template <class TFunction>
TFunction FindExport(HMODULE hModule, const char* szName) {
    FARPROC pfnProc = hModule != nullptr ? GetProcAddress(hModule, szName) : nullptr;
    return reinterpret_cast<TFunction>(reinterpret_cast<void (*)()>(pfnProc));
}

}  // namespace

CFactoryLibraryHost::CFactoryLibraryHost()
    : m_hLibrary(LoadLibraryA(BinaryFile(MIRFACT_LIBRARY_NAME).c_str())),
      m_pfnCreateComponent(FindExport<CreateComponentFn>(m_hLibrary, "CreateComponent")),
      m_pfnUnloadIdleModules(
          FindExport<MirFactUnloadIdleModulesFn>(m_hLibrary, MIRFACT_UNLOAD_IDLE_MODULES)),
      m_pfnLoadedModuleCount(
          FindExport<MirFactLoadedModuleCountFn>(m_hLibrary, MIRFACT_LOADED_MODULE_COUNT)),
      m_pfnSetUnloadGracePeriod(
          FindExport<MirFactSetUnloadGracePeriodFn>(m_hLibrary, MIRFACT_SET_UNLOAD_GRACE_PERIOD)),
      m_pFactory(nullptr) {
    if (m_pfnCreateComponent != nullptr && m_pfnUnloadIdleModules != nullptr &&
        m_pfnLoadedModuleCount != nullptr && m_pfnSetUnloadGracePeriod != nullptr) {
        m_pFactory = static_cast<IComponentFactory*>(m_pfnCreateComponent(kFactoryComponentId, 0));
    }
}

CFactoryLibraryHost::~CFactoryLibraryHost() {
    if (m_hLibrary != nullptr && (m_pfnLoadedModuleCount == nullptr || LoadedModuleCount() == 0)) {
        FreeLibrary(m_hLibrary);
    }
}

IComponent* CFactoryLibraryHost::EntryPoint(int32_t nComponentId, uint32_t nCreatorId) const {
    return m_pfnCreateComponent(nComponentId, nCreatorId);
}

int32_t CFactoryLibraryHost::UnloadIdleModules() const {
    return m_pfnUnloadIdleModules();
}

void CFactoryLibraryHost::SetUnloadGracePeriod(uint32_t nMilliseconds) const {
    m_pfnSetUnloadGracePeriod(nMilliseconds);
}

int32_t CFactoryLibraryHost::LoadedModuleCount() const {
    return m_pfnLoadedModuleCount();
}

std::string BinaryFile(const std::string& name) {
    return ExecutableDirectory() + "\\" + name;
}
