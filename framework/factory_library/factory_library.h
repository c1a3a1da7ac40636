// MirFact.dll as a host sees it: the framework's factory library. A host loads it (or lets a module
// find it through Mirel.ini), obtains the factory component (ID 361) from "CreateComponent", and
// creates components of any module that the configuration names. Any thread may call every export.
//
// Configuration, read from the file that a registry path resolves to (default Mirel.ini beside
// the executable, with its "Redirect" chain, exactly as the modules resolve it):
//   [Components]       key: a component ID in decimal; value: the module file that provides it,
//                      absolute, or relative to the configuration file's directory.
//   [ComponentConfig]  key: a component ID in decimal; value: "word0,word1", two 32-bit integers
//                      (decimal, or hexadecimal with 0x) that LoadComponentConfig hands to the
//                      component's ComponentConfig record.
//
// Modules are loaded on first use and stay loaded. A module that tells the factory it has become
// idle (NotifyModuleUnloadable, sent from inside its last component's Release) is only recorded;
// the host unloads idle modules at a point of its choosing with MirFactUnloadIdleModules.
#ifndef MIREL_FRAMEWORK_FACTORY_LIBRARY_H
#define MIREL_FRAMEWORK_FACTORY_LIBRARY_H

#include <stdint.h>

#include "mirel/component.h"

#if !defined(_WIN32) && defined(__GNUC__)
#define MIRFACT_EXPORT __attribute__((visibility("default")))
#else
#define MIRFACT_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

// With component ID 361: the factory component (an IComponentFactory), one object for the whole
// process whose Release does nothing, so that callers which never release it lose nothing. Any
// other ID: a new component created as CreateComponentByID does with the default configuration
// (Mirel.ini beside the executable), or null. The creator ID is not used.
MIRFACT_EXPORT IComponent* CreateComponent(int32_t nComponentId, uint32_t nCreatorId);

// Unloads every module that has told the factory it is idle and, asked twice now, a grace period
// apart, answers MirelDllCanUnloadNow with 1 both times. Returns the number of modules unloaded.
// Call it on a thread that is not inside any module's code (for instance from the host's message
// loop). It waits the grace period once when some module answered 1 the first time.
MIRFACT_EXPORT int32_t MirFactUnloadIdleModules(void);

// The grace period between the two answers, in milliseconds (10 until set). It must outlast the
// return of a thread from a module's Release once that module has answered 1; 0 asks twice at once.
MIRFACT_EXPORT void MirFactSetUnloadGracePeriod(uint32_t nMilliseconds);

// The number of modules the factory holds loaded right now.
MIRFACT_EXPORT int32_t MirFactLoadedModuleCount(void);

#ifdef __cplusplus
}
#endif

// The grace period of MirFactUnloadIdleModules until the host sets another.
constexpr uint32_t kMirFactDefaultUnloadGracePeriodMs = 10;

typedef int32_t (*MirFactUnloadIdleModulesFn)(void);
typedef int32_t (*MirFactLoadedModuleCountFn)(void);
typedef void (*MirFactSetUnloadGracePeriodFn)(uint32_t);

// The names to look the exports up with GetProcAddress.
#define MIRFACT_LIBRARY_NAME "MirFact.dll"
#define MIRFACT_UNLOAD_IDLE_MODULES "MirFactUnloadIdleModules"
#define MIRFACT_LOADED_MODULE_COUNT "MirFactLoadedModuleCount"
#define MIRFACT_SET_UNLOAD_GRACE_PERIOD "MirFactSetUnloadGracePeriod"

// MirFact.dll itself stays loaded while any module it loaded is: those modules reach it through
// the handle it gave them. Unload it, if at all, only when MirFactLoadedModuleCount answers 0.

#endif  // MIREL_FRAMEWORK_FACTORY_LIBRARY_H
