// The seven functions every component module of the framework exports, by undecorated name and
// with ordinals 1 to 7 in this order. The factory library drives a module through them; any
// thread may call them.
#ifndef MIREL_EXPORTS_H
#define MIREL_EXPORTS_H

#include <stdint.h>

#include "mirel/component.h"

// On Windows the module definition file exports them; elsewhere they are the only symbols of a
// module with default visibility.
#if !defined(_WIN32) && defined(__GNUC__)
#define MIREL_EXPORT __attribute__((visibility("default")))
#else
#define MIREL_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

MIREL_EXPORT IComponent* CreateComponent(int32_t nComponentId, uint32_t nCreatorId);  // 1
MIREL_EXPORT int32_t SetDLLRegistry(const char* szPath);                              // 2
MIREL_EXPORT void MirelDllFreeMap(void);                                              // 3
MIREL_EXPORT int32_t MirelDllCanUnloadNow(void);                                      // 4
MIREL_EXPORT void* SetFactoryHandle(void* hFactory);                                  // 5
MIREL_EXPORT int32_t MirelSetDllSafe(int32_t nSafe);                                  // 6
MIREL_EXPORT int32_t GetComponentIDs(int32_t* pIds, uint32_t nCount);                 // 7

#ifdef __cplusplus
}
#endif

// Pointer types for modules that look the exports up with GetProcAddress.
typedef int32_t (*SetDLLRegistryFn)(const char*);
typedef void (*MirelDllFreeMapFn)(void);
typedef int32_t (*MirelDllCanUnloadNowFn)(void);
typedef void* (*SetFactoryHandleFn)(void*);
typedef int32_t (*MirelSetDllSafeFn)(int32_t);
typedef int32_t (*GetComponentIDsFn)(int32_t*, uint32_t);

#endif  // MIREL_EXPORTS_H
