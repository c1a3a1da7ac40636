// The tests' one message pump and the clock it runs on. The pump runs the calling thread's message
// loop as a host application would between its own work, so that timers and messages of this
// thread's windows are delivered. While a CDrivenClock lives (POSIX), the clock that timers follow
// stands still and the pump moves it on a millisecond at a time, dispatching everything that falls
// due at each step: a test sees exactly the expiries of the time it pumps, however loaded the
// machine. Under Wine the system's clock cannot be driven: the pump then blocks in GetMessageA,
// woken every few milliseconds by a thread timer of its own, and the tests' bounds allow for a
// clock that runs on its own.
#ifndef MIREL_TESTS_SUPPORT_MESSAGE_PUMP_H
#define MIREL_TESTS_SUPPORT_MESSAGE_PUMP_H

#include <gtest/gtest.h>
#include <stdint.h>

#include <functional>

#include "platform/windows_api.h"

class CDrivenClock {
public:
#ifdef _WIN32
    static constexpr bool kExact = false;
#else
    static constexpr bool kExact = true;
#endif
    CDrivenClock();
    ~CDrivenClock();
    CDrivenClock(const CDrivenClock&) = delete;
    CDrivenClock& operator=(const CDrivenClock&) = delete;

    // Moves the clock on without looking at any queue, as a thread that is busy meanwhile. Under
    // Wine it sleeps for the time.
    static void Advance(DWORD dwMs);
};

// Gets and dispatches this thread's messages until done() holds, the time is up or WM_QUIT comes;
// returns done()'s last answer. On a driven clock the time is up once the clock has moved
// dwTimeoutMs and as much real time has passed, so that other threads that done() waits for
// have their time too.
bool PumpMessagesUntil(const std::function<bool()>& done, DWORD dwTimeoutMs);
// Dispatches this thread's messages for dwMs.
void PumpMessages(DWORD dwMs);

// For threads that do not own the window: polls done() every few milliseconds, moving a driven
// clock on meanwhile, until it holds or the time is up as above.
bool WaitUntil(const std::function<bool()>& done, DWORD dwTimeoutMs);

// Success when nActual is nExact on a driven clock, or within [nLow, nHigh] under Wine.
::testing::AssertionResult ExactlyOrWithin(int64_t nActual, int64_t nExact, int64_t nLow,
                                           int64_t nHigh);

#endif  // MIREL_TESTS_SUPPORT_MESSAGE_PUMP_H
