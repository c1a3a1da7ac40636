#include "module/module_lock.h"

#include <atomic>

#include "module/module_state.h"
#include "platform/windows_api.h"

namespace {

CRITICAL_SECTION ModuleLock;
// Zero at load, so the first EnterModuleLock (from a static initialiser, before the entry point
// has run) initialises the lock.
int32_t LockInitialised = 0;
// The thread that holds the lock and how often it entered it; 0 while nobody holds it. Written
// only by the holder, so that other threads can tell, without waiting, whether someone is inside
// (the unload check and the timer service's stop rule need to know).
std::atomic<DWORD> LockOwner{0};
int32_t LockDepth = 0;

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
    if (LockDepth++ == 0) {
        LockOwner.store(GetCurrentThreadId(), std::memory_order_release);
    }
}

void LeaveModuleLock() {
    if (--LockDepth == 0) {
        LockOwner.store(0, std::memory_order_release);
    }
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

bool IsModuleLockHeldByCurrentThread() {
    return LockOwner.load(std::memory_order_acquire) == GetCurrentThreadId();
}

bool IsModuleLockHeldByAnotherThread() {
    const DWORD dwOwner = LockOwner.load(std::memory_order_acquire);
    return dwOwner != 0 && dwOwner != GetCurrentThreadId();
}
