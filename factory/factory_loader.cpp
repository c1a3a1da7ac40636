#include "factory/factory_loader.h"

#include <stdarg.h>
#include <string.h>

#include "base/bounded_strings.h"
#include "factory/config_resolution.h"
#include "mirel/component_factory.h"
#include "base/module_state.h"

namespace {

constexpr char kEntryPointName[] = "CreateComponent";
constexpr uint32_t kEntryCreatorId = 0;

// GetProcAddress hands out a generic function pointer; going through void (*)() states that the
// real signature is known from the factory library's contract rather than from the type system.
CreateComponentFn FindEntryPoint(HMODULE hModule) {
    FARPROC pfnProc = GetProcAddress(hModule, kEntryPointName);
    return reinterpret_cast<CreateComponentFn>(reinterpret_cast<void (*)()>(pfnProc));
}

}  // namespace

void TraceFactoryError(const char* szFormat, ...) {
    // Size and count 1023 leave SafeFormatV 1022 characters and the terminator. A refused format
    // writes nothing, and the zeroed buffer then goes out as an empty line.
    char szLine[kTextBufferSize];
    memset(szLine, 0, sizeof(szLine));
    va_list args;
    va_start(args, szFormat);
    SafeStringRoutines.pfnSafeFormatV(szLine, kTextBufferSize - 1, kTextBufferSize - 1, szFormat,
                                      &args);
    va_end(args);
    OutputDebugStringA(szLine);
}

IComponentFactory* CreateFactoryFromModule(HMODULE hModule, int32_t nComponentId) {
    CreateComponentFn pfnCreate = FindEntryPoint(hModule);
    if (pfnCreate == nullptr) {
        TraceFactoryError("[Mirel_Error] Can't find CreateComponent().\n");
        return nullptr;
    }
    IComponent* pComponent = pfnCreate(nComponentId, kEntryCreatorId);
    if (pComponent == nullptr) {
        TraceFactoryError("[Mirel_Error] CreateComponent(ComponentId=%u) return null.\n",
                          static_cast<unsigned int>(nComponentId));
    }
    // The entry point hands out a factory component whose address is its IComponent pointer.
    return static_cast<IComponentFactory*>(pComponent);
}

IComponentFactory* LoadFactory(const char* szRegistryPath) {
    HMODULE hModule = LoadFactoryModule(szRegistryPath);
    if (hModule == nullptr) {
        TraceFactoryError("[Mirel_Error] Load MirFact.dll Fail.\n");
        return nullptr;
    }
    IComponentFactory* pFactory = CreateFactoryFromModule(hModule, kFactoryComponentId);
    if (pFactory == nullptr) {
        TraceFactoryError("[Mirel_Error] Create ComponentFactory in MirFact.dll Fail\n");
    }
    return pFactory;
}

TMirelPtr::TMirelPtr(const char* szRegistryPath, int32_t nComponentId)
    : m_pComponent(nullptr), m_pFactory(nullptr) {
    // One path serves both the loading and the creation call, so the factory creates the
    // component with the configuration it was itself found through; the module's own path is
    // taken once, as the host may give a new one at any moment, in storage the factory may keep.
    const char* szPath = szRegistryPath;
    if (szRegistryPath == nullptr || szRegistryPath[0] == 0) {
        szPath = KeptRegistryPath();
    }
    if (nComponentId == 0) {
        // Only traced: the factory is still asked, and it decides what component 0 means.
        TraceFactoryError("[Mirel_Error] TMirelPtr with ComponentId = 0\n");
    }
    m_pFactory = LoadFactory(szPath);
    if (m_pFactory != nullptr) {
        m_pComponent = m_pFactory->CreateComponentByID(nComponentId, szPath);
        if (m_pComponent != nullptr) {
            // The pointer's owner ends the component; the framework must not free it behind us.
            m_pComponent->SetAutoFree(0);
        }
    }
}

// Neither the factory component nor the factory library is released: other modules of the
// process share them, and the framework ends them itself.
TMirelPtr::~TMirelPtr() {
    if (m_pComponent != nullptr) {
        m_pComponent->Release(0);
        m_pComponent = nullptr;
    }
}

TFactoryPtr::TFactoryPtr() : m_pComponent(nullptr), m_pFactory(nullptr) {
    const char* szPath = KeptRegistryPath();
    m_pFactory = LoadFactory(szPath);
    if (m_pFactory != nullptr) {
        m_pComponent = m_pFactory->CreateComponentByID(kFactoryComponentId, szPath);
        if (m_pComponent != nullptr) {
            // Nobody here ends this factory component; the framework frees it when it likes.
            m_pComponent->SetAutoFree(1);
        }
    }
}

// The pointer only borrows its factory component for one notification: with its auto-free flag
// set, the framework frees it, so ending the pointer calls nothing.
TFactoryPtr::~TFactoryPtr() {}

int32_t CreateComponentInto(IComponent** ppComponent, int32_t nComponentId,
                            const char* szRegistryPath) {
    if (ppComponent == nullptr) {
        return 0;
    }
    TMirelPtr pointer(szRegistryPath, nComponentId);
    if (pointer.m_pComponent == nullptr) {
        return 0;
    }
    *ppComponent = pointer.m_pComponent;
    pointer.m_pComponent = nullptr;
    return 1;
}

// Used while a configuration record is constructed, possibly from a static initialiser of the
// module: it only looks for a factory library the host has already loaded, and never loads one.
IComponentFactory* FindLoadedFactory() {
    HMODULE hModule = GetModuleHandleA(kFactoryLibraryName);
    if (hModule == nullptr) {
        return nullptr;
    }
    CreateComponentFn pfnCreate = FindEntryPoint(hModule);
    if (pfnCreate == nullptr) {
        OutputDebugStringA(
            "Can't find CreateComponent() in MirFact.dll or MirFact.dll is missed\n");
        return nullptr;
    }
    IComponent* pComponent = pfnCreate(kFactoryComponentId, kEntryCreatorId);
    if (pComponent == nullptr) {
        OutputDebugStringA("Invoke CreateComponent() in MirFact.dll return null.\n");
    }
    return static_cast<IComponentFactory*>(pComponent);
}
