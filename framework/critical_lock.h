// CCriticalLock: the lock of a framework stand-in's own tables, a Windows critical section that
// lives as long as the module that holds it. The stand-ins use it as a leaf lock: nothing
// that can call back into a module, the loader or a component runs while it is held, so it can
// never take part in a cycle with a module's lock or the loader's.
#ifndef MIREL_FRAMEWORK_CRITICAL_LOCK_H
#define MIREL_FRAMEWORK_CRITICAL_LOCK_H

#include "platform/windows_api.h"

class CCriticalLock {
public:
    CCriticalLock() { InitializeCriticalSection(&m_section); }
    // Not deleted: at process exit on POSIX other threads still run (on Windows they are gone
    // before the static objects are destroyed) and may still enter it after its owner's
    // destruction, which leaves the owner in a state that every later call handles.
    ~CCriticalLock() = default;
    CCriticalLock(const CCriticalLock&) = delete;
    CCriticalLock& operator=(const CCriticalLock&) = delete;

    void Enter() { EnterCriticalSection(&m_section); }
    void Leave() { LeaveCriticalSection(&m_section); }

private:
    CRITICAL_SECTION m_section;
};

// Holds a CCriticalLock for one scope; Unlock lets go early, for code that must call out before
// the scope ends.
class CCriticalLockScope {
public:
    explicit CCriticalLockScope(CCriticalLock& lock) : m_lock(lock), m_bHeld(true) {
        m_lock.Enter();
    }
    ~CCriticalLockScope() { Unlock(); }
    CCriticalLockScope(const CCriticalLockScope&) = delete;
    CCriticalLockScope& operator=(const CCriticalLockScope&) = delete;

    void Unlock() {
        if (m_bHeld) {
            m_bHeld = false;
            m_lock.Leave();
        }
    }

private:
    CCriticalLock& m_lock;
    bool m_bHeld;
};

#endif  // MIREL_FRAMEWORK_CRITICAL_LOCK_H
