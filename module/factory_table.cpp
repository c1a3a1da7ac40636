#include "module/factory_table.h"

#include "base/module_lock.h"

namespace {

// Zero-initialised: the table is usable by the first static initialiser that registers.
uint32_t FactoryRowCount = 0;
FactoryEntry FactoryRows[kFactoryTableRows];

}  // namespace

void RegisterFactoryEntry(int32_t nComponentId, ComponentCreateFn pfnCreate) {
    CModuleLockScope lock;
    if (FactoryRowCount < kFactoryTableRows && nComponentId != 0 && pfnCreate != nullptr) {
        FactoryRows[FactoryRowCount].nComponentId = nComponentId;
        FactoryRows[FactoryRowCount].pfnCreate = pfnCreate;
        ++FactoryRowCount;
    }
}

ComponentCreateFn FindCreateFunction(int32_t nComponentId) {
    CModuleLockScope lock;
    for (uint32_t i = 0; i < FactoryRowCount; ++i) {
        if (FactoryRows[i].nComponentId == nComponentId) {
            return FactoryRows[i].pfnCreate;
        }
    }
    return nullptr;
}

int32_t CopyFactoryTableIds(int32_t* pIds, uint32_t nCount) {
    CModuleLockScope lock;
    // A null array with a non-zero capacity would be written through; treat it as capacity 0 so
    // that a caller asking only for the count cannot crash the module.
    if (pIds == nullptr) {
        nCount = 0;
    }
    for (uint32_t i = 0; i < FactoryRowCount && i < nCount; ++i) {
        pIds[i] = FactoryRows[i].nComponentId;
    }
    return static_cast<int32_t>(FactoryRowCount);
}
