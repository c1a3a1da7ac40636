// FactoryTable: the module's creation functions by component ID, filled by static initialisers
// at load and read by CreateComponent and GetComponentIDs. Rows are never changed once stored;
// every operation runs under the module lock, so any thread may use it.
#ifndef MIREL_MODULE_FACTORY_TABLE_H
#define MIREL_MODULE_FACTORY_TABLE_H

#include <stdint.h>

#include "mirel/component.h"

// Creates one component; null when it cannot.
typedef IComponent* (*ComponentCreateFn)();

struct FactoryEntry {
    int32_t nComponentId;         // never 0 in a stored row
    ComponentCreateFn pfnCreate;  // never null in a stored row
};

constexpr uint32_t kFactoryTableRows = 512;

// Stores the pair in the next row. A full table, a zero ID or a null function store nothing.
void RegisterFactoryEntry(int32_t nComponentId, ComponentCreateFn pfnCreate);
// The first row's function for the ID, or null.
ComponentCreateFn FindCreateFunction(int32_t nComponentId);
// Copies the IDs of the first min(nCount, rows) rows into pIds; returns the row count.
int32_t CopyFactoryTableIds(int32_t* pIds, uint32_t nCount);

// A static initialiser that registers one creation function when the module is loaded.
class CFactoryRegistration {
public:
    CFactoryRegistration(int32_t nComponentId, ComponentCreateFn pfnCreate) {
        RegisterFactoryEntry(nComponentId, pfnCreate);
    }
};

#endif  // MIREL_MODULE_FACTORY_TABLE_H
