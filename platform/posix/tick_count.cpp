// The monotonic clock of the user-interface stand-ins and GetTickCount on top of it.
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

}  // namespace mirel_ui

extern "C" {

// Milliseconds since boot, wrapping after 49.7 days as on Windows. Message times come from the
// same clock, so they compare with it.
DWORD WINAPI GetTickCount(void) {
    return static_cast<DWORD>(mirel_ui::MonotonicNanoseconds() / 1000000);
}

}  // extern "C"
