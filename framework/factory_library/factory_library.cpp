// The factory library's static objects, its entry point and its exports. The static objects are
// listed in the order the library needs them at load and, reversed, at unload; the entry glue
// comes last so that on POSIX the attach step runs after them and the detach step before their
// destruction, as the Windows loader orders it.
#include "framework/factory_library/factory_library.h"

#include "framework/factory_library/factory_component.h"
#include "framework/factory_library/factory_config.h"
#include "framework/factory_library/module_cache.h"
#include "platform/module_entry_glue.h"

CConfigWordStore ConfigWordStore;
CModuleCache ModuleCache;
CFactoryComponent FactoryComponent;

namespace {
CModuleEntryGlue EntryGlue;
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID /*pReserved*/) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        // Every module the factory loads is given this handle, so that it reaches this very
        // library rather than whatever its configuration would load.
        ModuleCache.SetFactoryInstance(hInstance);
    }
    return TRUE;
}

extern "C" {

IComponent* CreateComponent(int32_t nComponentId, uint32_t /*nCreatorId*/) {
    if (nComponentId == kFactoryComponentId) {
        return &FactoryComponent;
    }
    return FactoryComponent.CreateComponentByID(nComponentId, nullptr);
}

int32_t MirFactUnloadIdleModules(void) {
    return ModuleCache.UnloadIdleModules();
}

void MirFactSetUnloadGracePeriod(uint32_t nMilliseconds) {
    ModuleCache.SetUnloadGracePeriod(nMilliseconds);
}

int32_t MirFactLoadedModuleCount(void) {
    return ModuleCache.LoadedModuleCount();
}

}  // extern "C"
