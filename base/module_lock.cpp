#include "base/module_lock.h"

#include "base/module_state.h"
#include "platform/windows_api.h"

namespace {

CRITICAL_SECTION ModuleLock;
// Zero at load, so the first EnterModuleLock (from a static initialiser, before the entry point
// has run) initialises the lock.
int32_t LockInitialised = 0;

}  // namespace

void InitModuleLock() {
    if (LockInitialised == 0) {
        InitializeCriticalSection(&ModuleLock);
        LockInitialised = 1;
        DllSafe = 1;
    }
}

void EnterModuleLock() {
    if (LockInitialised == 0) {
        InitModuleLock();
    }
    EnterCriticalSection(&ModuleLock);
}

bool TryEnterModuleLock() {
    if (LockInitialised == 0) {
        InitModuleLock();
    }
    return TryEnterCriticalSection(&ModuleLock) != FALSE;
}

void LeaveModuleLock() {
    LeaveCriticalSection(&ModuleLock);
}

bool IsModuleLockInitialised() {
    return LockInitialised != 0;
}

void DeleteModuleLock() {
    if (LockInitialised != 0) {
        DeleteCriticalSection(&ModuleLock);
        LockInitialised = 0;
    }
}
