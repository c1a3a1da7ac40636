// The test clock: lets a test drive the clock of the POSIX stand-ins (tick_count.h) instead of
// waiting for it, so that timers fire exactly when the test says and never because the machine
// was slow. For tests and fuzz targets only; it is not installed. Any thread.
#ifndef MIREL_PLATFORM_POSIX_TEST_CLOCK_H
#define MIREL_PLATFORM_POSIX_TEST_CLOCK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Non-zero: the clock stops where it stands and from then on moves only by MirelAdvanceTestClock;
// every timer, message time and GetTickCount follows it, and a thread blocked in GetMessageA or
// on a queue descriptor wakes when an advance makes a timer of its due. Zero: the clock runs on
// in real time from where the test left it, so it never goes back.
void MirelDriveTestClock(int bDriven);
int MirelIsTestClockDriven(void);
// Moves the driven clock on; ignored while the clock is not driven.
void MirelAdvanceTestClock(uint32_t nMilliseconds);

#ifdef __cplusplus
}
#endif

#endif  // MIREL_PLATFORM_POSIX_TEST_CLOCK_H
