// ComponentConfig: the fixed-layout record an object registers with the factory when it is
// constructed. The factory reads and writes it by offset, so its layout is checked at compile time.
#ifndef MIREL_COMPONENT_CONFIG_H
#define MIREL_COMPONENT_CONFIG_H

#include <stddef.h>
#include <stdint.h>

struct ComponentConfig {
    // Sets the initial values and registers the record with the factory when its library is
    // already loaded. Defined by the module that owns the record; factories only receive it.
    explicit ComponentConfig(int32_t nComponentId);

    int32_t nReserved0;     // offset 0
    int32_t nWord4;         // offset 4: handed to the factory by address
    int32_t nFactoryWord1;  // offset 8: receives word 1 of the factory's record
    int32_t nFactoryWord0;  // offset 12: receives word 0 of the factory's record
    char szText16[64];      // offset 16
    char szText80[16];      // offset 80
    char szText96[16];      // offset 96
};

static_assert(sizeof(ComponentConfig) == 112, "ComponentConfig is shared by layout");
static_assert(offsetof(ComponentConfig, nReserved0) == 0, "ComponentConfig layout");
static_assert(offsetof(ComponentConfig, nWord4) == 4, "ComponentConfig layout");
static_assert(offsetof(ComponentConfig, nFactoryWord1) == 8, "ComponentConfig layout");
static_assert(offsetof(ComponentConfig, nFactoryWord0) == 12, "ComponentConfig layout");
static_assert(offsetof(ComponentConfig, szText16) == 16, "ComponentConfig layout");
static_assert(offsetof(ComponentConfig, szText80) == 80, "ComponentConfig layout");
static_assert(offsetof(ComponentConfig, szText96) == 96, "ComponentConfig layout");

#endif  // MIREL_COMPONENT_CONFIG_H
