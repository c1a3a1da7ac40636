// The clock of the user-interface stand-ins, the timerfds armed on it, GetTickCount, and the test
// clock that may drive them all.
#include "platform/posix/tick_count.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "platform/posix/test_clock.h"
#include "platform/windows_api.h"

namespace mirel_ui {

namespace {

constexpr int64_t kNotDriven = INT64_MIN;

// The driven clock's time, or kNotDriven while the clock is the real one.
std::atomic<int64_t> g_nDrivenNow{kNotDriven};
// What the real clock adds to steady_clock: 0 until a test stops driving the clock, which then
// runs on from the driven time instead of jumping back.
std::atomic<int64_t> g_nOffset{0};

// What a driven clock needs beyond its time: the timerfds armed for a time it has not reached,
// each fired by the advance that reaches it (none while the clock is real). The mutex also orders
// every change of the driven time against the arming, so that no timerfd misses the advance that
// makes it due. Made the first time a test drives the clock and never deleted, as threads may
// still arm timerfds while the process exits.
struct SDrivenClock {
    struct SArmed {
        int nTimerFd;
        int64_t nWhen;
    };
    std::mutex mutex;
    std::vector<SArmed> armed;

    void Forget(int nTimerFd) {
        armed.erase(std::remove_if(armed.begin(), armed.end(),
                                   [nTimerFd](const SArmed& a) { return a.nTimerFd == nTimerFd; }),
                    armed.end());
    }
};
std::atomic<SDrivenClock*> g_pDrivenClock{nullptr};

SDrivenClock& DrivenClock() {
    static SDrivenClock* const s_pClock = new SDrivenClock;
    g_pDrivenClock.store(s_pClock, std::memory_order_release);
    return *s_pClock;
}

// steady_clock reads CLOCK_MONOTONIC, the clock of the timerfds and of the queues' condition
// variables.
int64_t SteadyNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Arms the timerfd for a time of CLOCK_MONOTONIC, or disarms it for kNever.
void SetTimerFd(int nTimerFd, int64_t nSteadyWhen) {
    itimerspec spec{};
    if (nSteadyWhen != kNever) {
        // An all-zero time would disarm; one nanosecond after boot lies in the past and fires
        // at once.
        const int64_t nAt = std::max<int64_t>(nSteadyWhen, 1);
        spec.it_value.tv_sec = static_cast<time_t>(nAt / 1000000000);
        spec.it_value.tv_nsec = static_cast<long>(nAt % 1000000000);
    }
    timerfd_settime(nTimerFd, TFD_TIMER_ABSTIME, &spec, nullptr);
}
constexpr int64_t kAtOnce = 1;

// Arms a timerfd on the driven clock; false when the clock is real after all.
bool ArmOnDrivenClock(SDrivenClock& clock, int nTimerFd, int64_t nWhen) {
    std::lock_guard<std::mutex> lock(clock.mutex);
    const int64_t nNow = g_nDrivenNow.load(std::memory_order_relaxed);
    if (nNow == kNotDriven) {
        return false;
    }
    clock.Forget(nTimerFd);
    if (nWhen != kNever && nWhen > nNow) {
        try {
            clock.armed.push_back(SDrivenClock::SArmed{nTimerFd, nWhen});
        } catch (const std::bad_alloc&) {
            nWhen = nNow;  // without room to wait, the owner wakes at once and looks again
        }
    }
    SetTimerFd(nTimerFd, nWhen == kNever || nWhen > nNow ? kNever : kAtOnce);
    return true;
}

}  // namespace

int64_t MonotonicNanoseconds() {
    const int64_t nDriven = g_nDrivenNow.load(std::memory_order_acquire);
    if (nDriven != kNotDriven) {
        return nDriven;
    }
    return SteadyNanoseconds() + g_nOffset.load(std::memory_order_relaxed);
}

int CreateTimerFd(int nFlags) {
    return timerfd_create(CLOCK_MONOTONIC, nFlags);
}

void CloseTimerFd(int nTimerFd) {
    if (SDrivenClock* pClock = g_pDrivenClock.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(pClock->mutex);
        pClock->Forget(nTimerFd);
    }
    close(nTimerFd);
}

void ArmTimerFdAt(int nTimerFd, int64_t nWhen) {
    if (g_nDrivenNow.load(std::memory_order_acquire) != kNotDriven &&
        ArmOnDrivenClock(DrivenClock(), nTimerFd, nWhen)) {
        return;
    }
    SetTimerFd(nTimerFd,
               nWhen == kNever ? kNever : nWhen - g_nOffset.load(std::memory_order_relaxed));
}

std::chrono::steady_clock::time_point SteadyDeadlineOf(int64_t nWhen) {
    const int64_t nDriven = g_nDrivenNow.load(std::memory_order_acquire);
    int64_t nSteady = nWhen - g_nOffset.load(std::memory_order_relaxed);
    if (nDriven != kNotDriven) {
        // An advance notifies no condition variable, so a wait for a time still ahead looks again
        // a millisecond later.
        nSteady = SteadyNanoseconds() + (nWhen <= nDriven ? 0 : kNanosecondsPerMillisecond);
    }
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(nSteady));
}

}  // namespace mirel_ui

extern "C" {

// Milliseconds since boot, wrapping after 49.7 days as on Windows. Message times come from the
// same clock, so they compare with it.
DWORD WINAPI GetTickCount(void) {
    return static_cast<DWORD>(mirel_ui::MonotonicNanoseconds() / 1000000);
}

void MirelDriveTestClock(int bDriven) {
    using namespace mirel_ui;
    SDrivenClock& clock = DrivenClock();
    std::lock_guard<std::mutex> lock(clock.mutex);
    const int64_t nDriven = g_nDrivenNow.load(std::memory_order_relaxed);
    if (bDriven != 0 && nDriven == kNotDriven) {
        g_nDrivenNow.store(SteadyNanoseconds() + g_nOffset.load(std::memory_order_relaxed),
                           std::memory_order_release);
    } else if (bDriven == 0 && nDriven != kNotDriven) {
        const int64_t nOffset = nDriven - SteadyNanoseconds();
        g_nOffset.store(nOffset, std::memory_order_relaxed);
        g_nDrivenNow.store(kNotDriven, std::memory_order_release);
        // What waits for a time still ahead now waits for it on the real clock.
        for (const SDrivenClock::SArmed& armed : clock.armed) {
            SetTimerFd(armed.nTimerFd, armed.nWhen - nOffset);
        }
        clock.armed.clear();
    }
}

int MirelIsTestClockDriven(void) {
    return mirel_ui::g_nDrivenNow.load(std::memory_order_acquire) != mirel_ui::kNotDriven;
}

void MirelAdvanceTestClock(uint32_t nMilliseconds) {
    using namespace mirel_ui;
    SDrivenClock& clock = DrivenClock();
    std::lock_guard<std::mutex> lock(clock.mutex);
    const int64_t nDriven = g_nDrivenNow.load(std::memory_order_relaxed);
    if (nDriven == kNotDriven) {
        return;
    }
    const int64_t nNow = nDriven + int64_t{nMilliseconds} * kNanosecondsPerMillisecond;
    g_nDrivenNow.store(nNow, std::memory_order_release);
    auto itDue = std::partition(clock.armed.begin(), clock.armed.end(),
                                [nNow](const SDrivenClock::SArmed& a) { return a.nWhen > nNow; });
    for (auto it = itDue; it != clock.armed.end(); ++it) {
        SetTimerFd(it->nTimerFd, kAtOnce);
    }
    clock.armed.erase(itDue, clock.armed.end());
}

}  // extern "C"
