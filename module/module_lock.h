// ModuleLock: the module's recursive lock over the factory table, the live-component registry and
// writes of RegistryPath. It is initialised on first use (the first static registration) and
// deleted by the process-detach step; entering it after that initialises it again. The owning
// thread may enter it again, which the release paths rely on. Any thread may take it.
#ifndef MIREL_MODULE_MODULE_LOCK_H
#define MIREL_MODULE_MODULE_LOCK_H

void InitModuleLock();
void EnterModuleLock();
void LeaveModuleLock();
bool IsModuleLockInitialised();
// The process-detach half: deletes the critical section and marks the lock uninitialised; does
// nothing when it was never initialised.
void DeleteModuleLock();

// Whether the calling thread holds the lock, and whether some other thread does right now (an
// answer that may be stale by the time the caller looks at it, unless the caller holds the lock).
bool IsModuleLockHeldByCurrentThread();
bool IsModuleLockHeldByAnotherThread();

// Holds ModuleLock for one scope.
class CModuleLockScope {
public:
    CModuleLockScope() { EnterModuleLock(); }
    ~CModuleLockScope() { LeaveModuleLock(); }
    CModuleLockScope(const CModuleLockScope&) = delete;
    CModuleLockScope& operator=(const CModuleLockScope&) = delete;
};

#endif  // MIREL_MODULE_MODULE_LOCK_H
