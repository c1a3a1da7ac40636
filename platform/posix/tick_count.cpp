// The monotonic clock of the user-interface stand-ins and GetTickCount on top of it.
#include <sys/timerfd.h>

#include <algorithm>
#include <chrono>

#include "platform/posix/tick_count.h"
#include "platform/windows_api.h"

namespace mirel_ui {

// steady_clock reads CLOCK_MONOTONIC, which the condition variables of the queues wait on as
// well, so a due time computed here is exactly the deadline a queue blocks until.
int64_t MonotonicNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void ArmTimerFdAt(int nTimerFd, int64_t nWhen) {
    itimerspec spec{};
    if (nWhen != kNever) {
        // An all-zero time would disarm; one nanosecond after boot lies in the past and fires
        // at once.
        const int64_t nAt = std::max<int64_t>(nWhen, 1);
        spec.it_value.tv_sec = static_cast<time_t>(nAt / 1000000000);
        spec.it_value.tv_nsec = static_cast<long>(nAt % 1000000000);
    }
    timerfd_settime(nTimerFd, TFD_TIMER_ABSTIME, &spec, nullptr);
}

}  // namespace mirel_ui

extern "C" {

// Milliseconds since boot, wrapping after 49.7 days as on Windows. Message times come from the
// same clock, so they compare with it.
DWORD WINAPI GetTickCount(void) {
    return static_cast<DWORD>(mirel_ui::MonotonicNanoseconds() / 1000000);
}

}  // extern "C"
