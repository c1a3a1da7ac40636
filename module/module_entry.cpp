// The module's entry point: the loader's notifications. On Windows the loader calls it; on POSIX
// the module's entry glue does, in the same order relative to the static objects.
#include "module/module_entry.h"

#include "module/live_registry.h"
#include "base/module_lock.h"
#include "base/module_state.h"
#include "base/module_trace.h"
#include "platform/module_entry_glue.h"

void (*ModuleThreadDetachStep)() = nullptr;

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved) {
    switch (dwReason) {
        case DLL_PROCESS_ATTACH:
            ModuleInstance = hInstance;
            InitModuleLock();
            break;
        case DLL_PROCESS_DETACH:
            if (pReserved != nullptr) {
                // The process is exiting (Windows only): the other threads were ended wherever
                // they were, perhaps inside the module lock or another. Nothing waits for a lock
                // and nothing is freed from here on; the lock stays.
                ProcessExiting.store(true, std::memory_order_relaxed);
                if (!IsModuleLockInitialised()) {
                    break;
                }
                if (TryEnterModuleLock()) {
                    ReportLeaks();
                    LeaveModuleLock();
                } else {
                    TraceModuleError(
                        "Mirel[Error]: No leak report: the process is exiting and the module lock "
                        "is held by a thread the exit ended\n");
                }
                break;
            }
            // The registry itself outlives this step: it is destroyed with the other statics,
            // after the report.
            if (IsModuleLockInitialised()) {
                ReportLeaks();
                DeleteModuleLock();
            }
            break;
        case DLL_THREAD_DETACH:
            if (ModuleThreadDetachStep != nullptr) {
                ModuleThreadDetachStep();
            }
            break;
        default:
            break;
    }
    return TRUE;
}
