// CTimer: the timer component (ID 795), the only component this module creates. It holds no timer
// state of its own: every ITimer operation goes to the process-wide timer manager with the
// component itself as the owner. Its thread rules are ITimer's (mirel/timer.h).
#ifndef MIREL_TIMER_TIMER_COMPONENT_H
#define MIREL_TIMER_TIMER_COMPONENT_H

#include "component/component_impl.h"
#include "mirel/component_config.h"
#include "mirel/timer.h"

class CTimer : public TComponentImpl<ITimer, kTimerComponentId> {
public:
    CTimer();

    int32_t ModifyTimer(uint32_t nTimerId, uint32_t nElapseMs) override;
    uint32_t StartTimer(uint32_t nElapseMs, int32_t nUserValue, ITimerHandler* pHandler) override;
    void StopTimer(uint32_t nTimerId) override;
    void StopAllTimers() override;
    void Shutdown() override;

    // Ends a release that Shutdown deferred because a handler of the component was running on
    // another thread: called once, on that thread, when the handler has returned.
    void FinishDeferredRelease();

private:
    using Base = TComponentImpl<ITimer, kTimerComponentId>;

    ComponentConfig m_config;
};

// The creation function registered under component ID 795; null when memory runs out.
IComponent* CreateTimerComponent();

#endif  // MIREL_TIMER_TIMER_COMPONENT_H
