// ModuleLock: the module's only lock, a recursive critical section guarding the factory table,
// the live-component registry and writes of RegistryPath. It is initialised on first use (the
// first static registration) and deleted by the process-detach step; entering it after that
// initialises it again. The owning thread may enter it again, which the release paths rely on.
#ifndef MIREL_MODULE_MODULE_LOCK_H
#define MIREL_MODULE_MODULE_LOCK_H

void InitModuleLock();
void EnterModuleLock();
void LeaveModuleLock();
// The process-detach half: deletes the critical section and marks the lock uninitialised.
// Returns false when the lock was never initialised, in which case nothing was done.
bool IsModuleLockInitialised();
void DeleteModuleLock();

// Holds ModuleLock for one scope.
class CModuleLockScope {
public:
    CModuleLockScope() { EnterModuleLock(); }
    ~CModuleLockScope() { LeaveModuleLock(); }
    CModuleLockScope(const CModuleLockScope&) = delete;
    CModuleLockScope& operator=(const CModuleLockScope&) = delete;
};

#endif  // MIREL_MODULE_MODULE_LOCK_H
