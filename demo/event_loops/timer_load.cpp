// The examples' common load: the timer service reached through the factory library named by the
// Mirel.ini beside the program, as demo/timer_client_example.cpp reaches it.
#include "demo/event_loops/timer_load.h"

#include <stdio.h>

#include "factory/factory_loader.h"
#include "mirel/component_factory.h"
#include "platform/windows_api.h"

namespace {

constexpr int32_t kStopUserValue = -1;

int64_t Nanoseconds(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

bool DispatchQueuedMessages() {
    // A handler slower than its timer's period finds the timer due again at every look, so a
    // drain until the queue is empty might never end. A pass ends after the first message stamped
    // later than its beginning: whatever is left keeps the descriptor readable, and the host's
    // wait comes back at once, after its other work.
    const DWORD dwPassBegan = GetTickCount();
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            return false;
        }
        DispatchMessageA(&msg);
        if (static_cast<LONG>(msg.time - dwPassBegan) > 0) {
            break;
        }
    }
    return true;
}

bool CTimerLoad::Start() {
    IComponentFactory* pFactory = LoadFactory(nullptr);
    m_pTimer = pFactory == nullptr
                   ? nullptr
                   : static_cast<ITimer*>(pFactory->CreateComponentByID(kTimerComponentId, ""));
    if (m_pTimer == nullptr) {
        fprintf(stderr, "no timer component: see the diagnostics above\n");
        return false;
    }
    m_nWallAtStart = Nanoseconds(CLOCK_MONOTONIC);
    m_nCpuAtStart = Nanoseconds(CLOCK_PROCESS_CPUTIME_ID);
    for (int i = 0; i < kTimers; ++i) {
        if (m_pTimer->StartTimer(kElapseMs, i, this) == 0) {
            fprintf(stderr, "StartTimer refused timer %d\n", i);
            return false;
        }
        // The timer's schedule began inside StartTimer, so this reading lies just after it.
        m_startedAt[i] = Nanoseconds(CLOCK_MONOTONIC);
    }
    return m_pTimer->StartTimer(kRunMs, kStopUserValue, this) != 0;
}

// Every timer has the same period and they start together, so a loop that keeps up delivers a
// burst of expiries every period. A longer silence means the loop itself was held up (a busy or
// paused machine) and every timer folded the periods it spanned into one expiry, as it should:
// those periods are excused for all timers alike. An expiry lost by one timer alone is not.
void CTimerLoad::NoteLoopGap(int64_t nNow) {
    const int64_t nPeriodNs = int64_t{kElapseMs} * 1000000;
    if (m_nLastExpiryAt != 0) {
        const int64_t nSpanned = (nNow - m_nLastExpiryAt + nPeriodNs / 2) / nPeriodNs;
        if (nSpanned > 1) {
            m_nExcusedMisses += nSpanned - 1;
        }
    }
    m_nLastExpiryAt = nNow;
}

int32_t CTimerLoad::OnTimer(uint32_t nTimerId, int32_t nUserValue) {
    (void)nTimerId;
    const int64_t nNow = Nanoseconds(CLOCK_MONOTONIC);
    if (nUserValue == kStopUserValue) {
        m_nStoppedAt = nNow;
        PostQuitMessage(0);
    } else if (nUserValue >= 0 && nUserValue < kTimers) {
        NoteLoopGap(nNow);
        ++m_nExpiries[nUserValue];
    }
    return 0;
}

int CTimerLoad::Finish(const char* szLoop) {
    const int64_t nEndedAt = Nanoseconds(CLOCK_MONOTONIC);
    const int64_t nCpuNs = Nanoseconds(CLOCK_PROCESS_CPUTIME_ID) - m_nCpuAtStart;
    const int64_t nWallNs = nEndedAt - m_nWallAtStart;
    const int64_t nPeriodNs = int64_t{kElapseMs} * 1000000;
    const int64_t nExcusedMisses = m_nExcusedMisses;
    // The schedules end with the run's last timer: what the loop does after it does not count.
    const int64_t nScheduleEnd = m_nStoppedAt != 0 ? m_nStoppedAt : nEndedAt;
    if (m_pTimer != nullptr) {
        m_pTimer->Release(0);
    }
    int64_t nTotal = 0;
    int nOff = 0;
    for (int i = 0; i < kTimers; ++i) {
        const int64_t nExpected = (nScheduleEnd - m_startedAt[i]) / nPeriodNs;
        const int64_t nDifference = m_nExpiries[i] - nExpected;
        if (nDifference < -1 - nExcusedMisses || nDifference > 1) {
            fprintf(stderr, "%s: timer %d got %lld expiries, its schedule %lld\n", szLoop, i,
                    static_cast<long long>(m_nExpiries[i]), static_cast<long long>(nExpected));
            ++nOff;
        }
        nTotal += m_nExpiries[i];
    }
    // A loop that spun instead of sleeping in its wait would use a whole core.
    const double dCpuShare = static_cast<double>(nCpuNs) / static_cast<double>(nWallNs);
    printf(
        "%s: %d timers at %u ms for %lld ms: %lld expiries, %d timer(s) off by more than one;"
        " CPU %.1f ms (%.1f%% of the run)\n",
        szLoop, kTimers, kElapseMs, static_cast<long long>(nWallNs / 1000000),
        static_cast<long long>(nTotal), nOff, nCpuNs / 1e6, 100.0 * dCpuShare);
    if (nExcusedMisses > 0) {
        printf(
            "%s: the machine held the loop up for %lld periods in all, which every timer folded"
            " into its next expiry\n",
            szLoop, static_cast<long long>(nExcusedMisses));
    }
    return nOff == 0 && dCpuShare < 0.5 ? 0 : 1;
}
