// The clock of the POSIX stand-ins: CLOCK_MONOTONIC in nanoseconds, behind every timer, message
// time and GetTickCount. Any thread.
#ifndef MIREL_PLATFORM_POSIX_TICK_COUNT_H
#define MIREL_PLATFORM_POSIX_TICK_COUNT_H

#include <cstdint>

// The library exports the Windows calls only; its own plumbing stays inside it.
#pragma GCC visibility push(hidden)

namespace mirel_ui {

// Nanoseconds of CLOCK_MONOTONIC, the clock of every timer, of message times and of GetTickCount.
// It is the clock of std::chrono::steady_clock too, so deadlines go straight into timed waits.
int64_t MonotonicNanoseconds();
constexpr int64_t kNever = INT64_MAX;
constexpr int64_t kNanosecondsPerMillisecond = 1000000;

// Arms a one-shot timerfd of that clock for nWhen, or disarms it for kNever.
void ArmTimerFdAt(int nTimerFd, int64_t nWhen);

}  // namespace mirel_ui

#pragma GCC visibility pop

#endif  // MIREL_PLATFORM_POSIX_TICK_COUNT_H
