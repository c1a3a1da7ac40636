// The module-wide variables of one loaded module: its instance handle, the factory library handle
// and registry path given by the host, and the DllSafe gate of the release path. Each module of a
// process has its own set. Writes of RegistryPath happen under the module lock; the other three
// are single 32-bit (or pointer) reads and writes that take no lock.
#ifndef MIREL_MODULE_MODULE_STATE_H
#define MIREL_MODULE_MODULE_STATE_H

#include <stdint.h>

#include "platform/windows_api.h"

// Sizes that every path and diagnostic buffer of the module shares.
constexpr int kPathBufferSize = 260;   // MAX_PATH, terminator included
constexpr int kTextBufferSize = 1024;  // raw configuration values and diagnostic lines

extern HINSTANCE ModuleInstance;            // stored by the process-attach step
extern HMODULE FactoryHandle;               // given by SetFactoryHandle; null when not given
extern volatile int32_t DllSafe;            // while 0, Release does nothing
extern char RegistryPath[kPathBufferSize];  // given by SetDLLRegistry; empty when not given

#endif  // MIREL_MODULE_MODULE_STATE_H
