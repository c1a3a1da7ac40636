#include "timer/timer_component.h"

#include <new>

#include "base/module_lock.h"
#include "timer/timer_manager.h"

CTimer::CTimer() : m_config(kTimerComponentId) {}

int32_t CTimer::ModifyTimer(uint32_t nTimerId, uint32_t nElapseMs) {
    return TimerManager.ModifyTimer(this, nTimerId, nElapseMs);
}

uint32_t CTimer::StartTimer(uint32_t nElapseMs, int32_t nUserValue, ITimerHandler* pHandler) {
    return TimerManager.StartTimer(this, nElapseMs, nUserValue, pHandler);
}

void CTimer::StopTimer(uint32_t nTimerId) {
    TimerManager.StopTimer(this, nTimerId);
}

void CTimer::StopAllTimers() {
    TimerManager.StopAllTimers(this, CTimerManager::EStopWait::kWait);
}

void CTimer::Shutdown() {
    if (IsFreeMapReleasing()) {
        // MirelDllFreeMap holds the module lock, which a running handler may be waiting for: no
        // wait. If a handler of this component runs on another thread, the component stays alive
        // and registered until it has returned (FinishDeferredRelease).
        if (TimerManager.StopAllTimers(this, CTimerManager::EStopWait::kDefer)) {
            m_nHoldCount = 1;
            return;
        }
    } else {
        // Through the component's own slot, so that a derived component's StopAllTimers is
        // honoured.
        this->StopAllTimers();
    }
    TimerManager.ReleaseWindowIfUnused();
}

void CTimer::FinishDeferredRelease() {
    // MirelDllFreeMap held the module lock across the release that deferred this one: once this
    // thread has it, that release has returned and the component's state is settled.
    CModuleLockScope lock;
    // Timers its handler started meanwhile go too; this is the window's thread, which never waits.
    TimerManager.StopAllTimers(this, CTimerManager::EStopWait::kWait);
    TimerManager.ReleaseWindowIfUnused();
    m_nHoldCount = 0;
    // Shutdown has run already; this pass destroys the object and removes it from the registry.
    Base::Release(1);
}

void FinishDeferredTimerRelease(ITimer* pOwner) {
    // Every owner the manager knows is a CTimer: the only component that starts timers.
    static_cast<CTimer*>(pOwner)->FinishDeferredRelease();
}

IComponent* CreateTimerComponent() {
    return new (std::nothrow) CTimer();
}
