// The clock of the POSIX stand-ins, behind every timer, message time and GetTickCount, and the
// one place where the stand-ins read time or hand a time of it to the kernel. Tests may drive it
// (test_clock.h): it then stands still until a test advances it. Any thread.
#ifndef MIREL_PLATFORM_POSIX_TICK_COUNT_H
#define MIREL_PLATFORM_POSIX_TICK_COUNT_H

#include <chrono>
#include <cstdint>

// The library exports the Windows calls only; its own plumbing stays inside it.
#pragma GCC visibility push(hidden)

namespace mirel_ui {

// Nanoseconds of the clock: CLOCK_MONOTONIC, unless a test drives it.
int64_t MonotonicNanoseconds();
constexpr int64_t kNever = INT64_MAX;
constexpr int64_t kNanosecondsPerMillisecond = 1000000;

// A one-shot timerfd of the clock, with the flags of timerfd_create; -1 when none can be had.
// Every timerfd that is armed for a time of the clock comes from here and goes back through
// CloseTimerFd, so that a driven clock knows which ones to fire when a test advances it.
int CreateTimerFd(int nFlags);
void CloseTimerFd(int nTimerFd);
// Arms the timerfd for nWhen, or disarms it for kNever; either clears an expiry it still reports.
void ArmTimerFdAt(int nTimerFd, int64_t nWhen);
// The point of steady_clock at which a timed wait for nWhen must end, for a queue that waits on a
// condition variable because it has no timerfd.
std::chrono::steady_clock::time_point SteadyDeadlineOf(int64_t nWhen);

}  // namespace mirel_ui

#pragma GCC visibility pop

#endif  // MIREL_PLATFORM_POSIX_TICK_COUNT_H
