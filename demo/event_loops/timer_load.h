// The load that every host event-loop example drives: 100 timers of the timer service at 10 ms
// for one second, started through the factory as any client starts them, each one's expiries
// counted; a last timer ends the run by posting WM_QUIT. Used on the one thread that runs the
// example's loop, which is also the thread that owns the service's window.
#ifndef MIREL_DEMO_EVENT_LOOPS_TIMER_LOAD_H
#define MIREL_DEMO_EVENT_LOOPS_TIMER_LOAD_H

#include <stdint.h>
#include <time.h>

#include "mirel/timer.h"

// The host's side of the queue, the same in every loop: called when the thread's queue descriptor
// is readable, it takes and dispatches the messages that were waiting when it began and at most
// one that came after, then the host goes back to its own wait. False once WM_QUIT came.
bool DispatchQueuedMessages();

class CTimerLoad : public ITimerHandler {
public:
    static constexpr int kTimers = 100;
    static constexpr uint32_t kElapseMs = 10;
    static constexpr uint32_t kRunMs = 1000;

    // Creates a timer component and starts the timers. False, with a line on standard error,
    // when the service cannot be had.
    bool Start();
    // Call when the loop has taken WM_QUIT: releases the component, prints what each timer got
    // against what its own schedule promised and the CPU time the process used, and returns the
    // exit status (0 when every timer is within one expiry and the process mostly slept). A loop
    // held up by a busy machine misses periods through no fault of its own: those are excused
    // (see NoteLoopGap).
    int Finish(const char* szLoop);

    int32_t GetHandlerVersion() override { return 1; }
    int32_t OnTimer(uint32_t nTimerId, int32_t nUserValue) override;

private:
    void NoteLoopGap(int64_t nNow);

    ITimer* m_pTimer = nullptr;
    int64_t m_startedAt[kTimers] = {};
    int64_t m_nExpiries[kTimers] = {};
    int64_t m_nCpuAtStart = 0;
    int64_t m_nWallAtStart = 0;
    int64_t m_nLastExpiryAt = 0;
    int64_t m_nStoppedAt = 0;
    int64_t m_nExcusedMisses = 0;
};

#endif  // MIREL_DEMO_EVENT_LOOPS_TIMER_LOAD_H
