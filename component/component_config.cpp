#include "mirel/component_config.h"

#include <string.h>

#include "factory/factory_loader.h"
#include "base/module_state.h"

ComponentConfig::ComponentConfig(int32_t nComponentId) {
    memset(this, 0, sizeof(*this));
    nFactoryWord1 = -1;

    // Only a factory library that is already loaded is asked: a record is built while the module
    // itself may still be loading, when nothing may be loaded.
    IComponentFactory* pFactory = FindLoadedFactory();
    if (pFactory == nullptr) {
        return;
    }
    int32_t* pRecord = nullptr;
    pFactory->LoadComponentConfig(KeptRegistryPath(), nComponentId, this, &nWord4, &pRecord);
    if (pRecord != nullptr) {
        // The factory's record holds the two words in the opposite order; it keeps ownership.
        nFactoryWord0 = pRecord[0];
        nFactoryWord1 = pRecord[1];
    }
}
