// ITimer and ITimerHandler: the timer service as clients in other modules see it.
// Create component 795 through the factory, start timers with a handler and a user value, and
// receive OnTimer on the thread that owns the service's hidden window (the thread whose StartTimer
// obtained it) while that thread dispatches its messages.
//
// Threads: any thread may create, use and release timer components at any moment, as long as the
// calls into one component do not overlap. OnTimer runs only on the window's thread and never
// with a lock of the service held, so a handler may start, modify and stop timers and release
// components, its own included. Once StopTimer, StopAllTimers or Release has returned, no new
// OnTimer call for the timers it stopped begins; called on another thread than the window's,
// they also wait for such a call already running, so a handler must never wait for a thread that
// is stopping its timers. The README's "Threads" section has the details.
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
