// CLeafLock: a mutex for a lock that must be a leaf, i.e. never held while its owner calls out to
// code that may take other locks (a component, a handler, the factory). Debug builds remember the
// thread that holds it, so that each call-out can check the rule with
// MIREL_DCHECK(!lock.IsHeldByCurrentThread()); release builds keep nothing and it is a plain
// std::mutex. Lockable, so std::lock_guard and std::unique_lock take it; a condition is waited on
// through Wait, which gives the lock up meanwhile as std::condition_variable::wait does.
#ifndef MIREL_PLATFORM_LEAF_LOCK_H
#define MIREL_PLATFORM_LEAF_LOCK_H

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/windows_api.h"

class CLeafLock {
public:
    void lock() {
        m_mutex.lock();
        NoteHolder(true);
    }
    bool try_lock() {
        if (!m_mutex.try_lock()) {
            return false;
        }
        NoteHolder(true);
        return true;
    }
    void unlock() {
        NoteHolder(false);
        m_mutex.unlock();
    }

    // Called with the lock held by this thread through `lock`; returns with it held again.
    static void Wait(std::condition_variable& condition, std::unique_lock<CLeafLock>& lock) {
        CLeafLock& self = *lock.mutex();
        std::unique_lock<std::mutex> held(self.m_mutex, std::adopt_lock);
        self.NoteHolder(false);
        condition.wait(held);
        self.NoteHolder(true);
        held.release();
    }

    // Always false in release builds, where nobody is recorded: meant for MIREL_DCHECK only.
    bool IsHeldByCurrentThread() const {
#ifdef NDEBUG
        return false;
#else
        return m_dwHolder.load(std::memory_order_relaxed) == GetCurrentThreadId();
#endif
    }

private:
    // The thread is asked only in debug builds: in release builds the call would be all the cost.
    void NoteHolder([[maybe_unused]] bool bHeldHere) {
#ifndef NDEBUG
        // Relaxed: only the holder itself compares its own ID with what it stored.
        m_dwHolder.store(bHeldHere ? GetCurrentThreadId() : 0, std::memory_order_relaxed);
#endif
    }

    std::mutex m_mutex;
#ifndef NDEBUG
    std::atomic<DWORD> m_dwHolder{0};
#endif
};

#endif  // MIREL_PLATFORM_LEAF_LOCK_H
