// The module-wide variables of one loaded module: its instance handle, the factory library handle
// and registry path given by the host, and the DllSafe gate of the release path. Each module of a
// process has its own set. Any thread may read or write them at any moment: the handle and the
// gate are atomic, and the registry path is only ever copied whole, under a lock of its own, so
// that a reader sees the old path or the new one and never a mix of both.
#ifndef MIREL_BASE_MODULE_STATE_H
#define MIREL_BASE_MODULE_STATE_H

#include <stdint.h>

#include <atomic>

#include "platform/windows_api.h"

// Sizes that every path and diagnostic buffer of the module shares.
constexpr int kPathBufferSize = 260;   // MAX_PATH, terminator included
constexpr int kTextBufferSize = 1024;  // raw configuration values and diagnostic lines

extern HINSTANCE ModuleInstance;            // stored by the process-attach step
extern std::atomic<HMODULE> FactoryHandle;  // given by SetFactoryHandle; null when not given
extern std::atomic<int32_t> DllSafe;        // while 0, Release does nothing
extern char RegistryPath[kPathBufferSize];  // given by SetDLLRegistry; empty when not given
// Set by the process-detach step when the process is exiting (Windows: the loader's reserved
// argument is not null). The other threads were ended wherever they were, perhaps inside a lock:
// from then on the module's clean-up takes no lock and frees nothing. Never set on POSIX, whose
// threads still run during exit().
extern std::atomic<bool> ProcessExiting;

// Stores a path that fits (or, for null, the empty path) as RegistryPath, whole.
void StoreRegistryPath(const char* szPath);
// Copies RegistryPath whole into szDest; the copy is what one call of the module works with.
void CopyRegistryPathTo(char (&szDest)[kPathBufferSize]);
// RegistryPath as it stands, in storage that lives as long as the module and never changes: what
// the module hands to a factory, which may keep the pointer after the call. Each distinct path is
// kept once.
const char* KeptRegistryPath();

#endif  // MIREL_BASE_MODULE_STATE_H
