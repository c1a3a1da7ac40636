// ModuleLock: the module's recursive lock over the factory table, the live-component registry and
// SetDLLRegistry's store (RegistryPath's bytes have a lock of their own, in module_state.cpp). It
// is initialised on first use (the first static registration) and deleted by the process-detach
// step; entering it after that initialises it again. The owning thread may enter it again, which
// the release paths rely on. Any thread may take it.
#ifndef MIREL_BASE_MODULE_LOCK_H
#define MIREL_BASE_MODULE_LOCK_H

void InitModuleLock();
void EnterModuleLock();
// Enters the lock only when that needs no wait; false, without the lock, when another thread holds
// it (the detach step at process exit, where the holder may have been ended inside it).
bool TryEnterModuleLock();
void LeaveModuleLock();
bool IsModuleLockInitialised();
// The process-detach half: deletes the critical section and marks the lock uninitialised; does
// nothing when it was never initialised.
void DeleteModuleLock();

// Holds ModuleLock for one scope.
class CModuleLockScope {
public:
    CModuleLockScope() { EnterModuleLock(); }
    ~CModuleLockScope() { LeaveModuleLock(); }
    CModuleLockScope(const CModuleLockScope&) = delete;
    CModuleLockScope& operator=(const CModuleLockScope&) = delete;
};

#endif  // MIREL_BASE_MODULE_LOCK_H
