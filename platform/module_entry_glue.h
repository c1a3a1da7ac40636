// CModuleEntryGlue: delivers the loader's process-attach and process-detach notifications to the
// module's DllMain, and in between has the platform deliver DLL_THREAD_DETACH. On Windows the
// loader calls DllMain itself after the static initialisers and, at unload, before the static
// destructions, so the glue does nothing there. On POSIX the glue must be the last static object of
// the module's start-up list: its construction runs the attach step after the other initialisers,
// and its destruction, the first of the exit list, runs the detach step before the others are
// destroyed in reverse order.
#ifndef MIREL_PLATFORM_MODULE_ENTRY_GLUE_H
#define MIREL_PLATFORM_MODULE_ENTRY_GLUE_H

#include "platform/windows_api.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved);

#ifdef _WIN32

class CModuleEntryGlue {
public:
    CModuleEntryGlue() {}  // the loader calls DllMain itself
};

#else

#include "platform/posix_extensions.h"

class CModuleEntryGlue {
public:
    CModuleEntryGlue()
        : m_hInstance(MirelModuleFromAddress(reinterpret_cast<const void*>(&DllMain))) {
        DllMain(m_hInstance, DLL_PROCESS_ATTACH, nullptr);
        MirelSetThreadDetachEntry(m_hInstance, &DllMain);
    }
    ~CModuleEntryGlue() {
        MirelSetThreadDetachEntry(m_hInstance, nullptr);
        DllMain(m_hInstance, DLL_PROCESS_DETACH, nullptr);
    }
    CModuleEntryGlue(const CModuleEntryGlue&) = delete;
    CModuleEntryGlue& operator=(const CModuleEntryGlue&) = delete;

private:
    HINSTANCE m_hInstance;
};

#endif

#endif  // MIREL_PLATFORM_MODULE_ENTRY_GLUE_H
