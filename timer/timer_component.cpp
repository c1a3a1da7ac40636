#include "timer/timer_component.h"

#include <new>

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
    TimerManager.StopAllTimers(this);
}

void CTimer::Shutdown() {
    // Through the component's own slot, so that a derived component's StopAllTimers is honoured.
    this->StopAllTimers();
    TimerManager.ReleaseWindowIfUnused();
}

IComponent* CreateTimerComponent() {
    return new (std::nothrow) CTimer();
}
