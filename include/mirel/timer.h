// ITimer and ITimerHandler: the timer service as clients in other modules see it.
// Create component 795 through the factory, start timers with a handler and a user value, and
// receive OnTimer on the thread that owns the service's hidden window while it dispatches
// messages. All calls are made on that one thread; the service takes no lock.
#ifndef MIREL_TIMER_H
#define MIREL_TIMER_H

#include "mirel/component.h"

class ITimerHandler {
public:
    // Slot 0 is never called by the timer service; it is free for the handler's own use.
    virtual int32_t GetHandlerVersion() = 0;
    // Slot 1: one expiry of timer nTimerId, with the user value given to StartTimer.
    virtual int32_t OnTimer(uint32_t nTimerId, int32_t nUserValue) = 0;

protected:
    ~ITimerHandler() = default;
};

class ITimer : public IComponent {
public:
    // Slot 5: a new elapse for one of this component's timers; 1 when accepted, else 0.
    virtual int32_t ModifyTimer(uint32_t nTimerId, uint32_t nElapseMs) = 0;
    // Slot 6: the new timer's ID, or 0 when no timer runs. pHandler may be null.
    virtual uint32_t StartTimer(uint32_t nElapseMs, int32_t nUserValue,
                                ITimerHandler* pHandler) = 0;
    // Slot 7: stops one of this component's timers.
    virtual void StopTimer(uint32_t nTimerId) = 0;
    // Slot 8: stops every timer of this component.
    virtual void StopAllTimers() = 0;

protected:
    ~ITimer() = default;
};

#endif  // MIREL_TIMER_H
