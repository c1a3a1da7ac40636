// What the POSIX stand-ins offer beyond the Windows calls: the module entry glue's way to find its
// own module handle, and the redirection of the debugger output. Nothing here exists on Windows;
// module code reaches it only through the entry glue, tests through their capture helper.
#ifndef MIREL_PLATFORM_POSIX_EXTENSIONS_H
#define MIREL_PLATFORM_POSIX_EXTENSIONS_H

#ifndef _WIN32

#include "platform/windows_api.h"

#ifdef __cplusplus
extern "C" {
#endif

// The handle of the loaded module that contains the address (the same handle LoadLibraryA and
// GetModuleHandleA give for it), or null.
HMODULE MirelModuleFromAddress(const void* pAddress);

// Receives every line given to OutputDebugStringA, whole, instead of the default destination.
// Pass null to restore the default. The sink may be called from any thread, one call per line.
typedef void (*MirelDebugOutputSink)(const char* szLine, void* pContext);
void MirelSetDebugOutputSink(MirelDebugOutputSink pfnSink, void* pContext);

#ifdef __cplusplus
}
#endif

#endif  // _WIN32
#endif  // MIREL_PLATFORM_POSIX_EXTENSIONS_H
