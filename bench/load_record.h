// What a timer load run records, shared by the benchmarks that drive loops under load, and the
// bare load they measure against (the timers on a message-only window of the loop's own): per
// timer, the deliveries counted against the ideal schedule start + k * period, every delivery's
// lateness against that schedule, and the loop thread's CPU time. One thread.
#ifndef MIREL_BENCH_LOAD_RECORD_H
#define MIREL_BENCH_LOAD_RECORD_H

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/windows_api.h"

namespace {

constexpr int64_t kPeriodNs = 10'000'000;
constexpr UINT kPeriodMs = 10;
constexpr int64_t kRunNs = 3'000'000'000;
// Expiries whose ideal time falls in the last few milliseconds of a run are not counted: the
// run may end before they could be delivered.
constexpr int64_t kTailNs = 5'000'000;

int64_t NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

int64_t ThreadCpuNs() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The times the thread gave up the processor to wait: each is a wake-up of the loop, whose cost
// falls on the expiries that wake-up serves.
int64_t ThreadWaits() {
    rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

// ----- What every loop records ---------------------------------------------------------------

// Per timer: when it was set, the oldest ideal expiry not yet covered by a delivery, and how
// many deliveries were counted. A delivery covers every ideal expiry up to its own time, so a
// loop that folds missed periods delivers fewer ticks than the schedule has.
struct TimerTrack {
    int64_t nSetAt;
    int64_t nNextIdeal;
    int64_t nDelivered;
};

class CLoadRecord {
public:
    void Start(size_t nTimers, int64_t nRunNs = kRunNs) {
        m_nRunNs = nRunNs;
        m_tracks.assign(nTimers, TimerTrack{0, 0, 0});
        // Filled and emptied, not only reserved: the pages are touched here, before the run,
        // so that the first loop at each size does not pay for faulting them in during its own.
        m_lateness.assign(nTimers * (nRunNs / kPeriodNs + 2), 0);
        m_lateness.clear();
    }
    void Armed(size_t nTimer, int64_t nAt) {
        m_tracks[nTimer] = TimerTrack{nAt, nAt + kPeriodNs, 0};
    }
    void BeginRun(int64_t nAt) {
        m_nCountUntil = nAt + m_nRunNs - kTailNs;
        m_nCpuAtStart = ThreadCpuNs();
        m_nWaitsAtStart = ThreadWaits();
    }
    void EndRun() {
        m_nCpuNs = ThreadCpuNs() - m_nCpuAtStart;
        m_nWaits = ThreadWaits() - m_nWaitsAtStart;
    }

    void Delivered(size_t nTimer, int64_t nAt) {
        TimerTrack& track = m_tracks[nTimer];
        if (track.nNextIdeal <= m_nCountUntil) {
            m_lateness.push_back(nAt - track.nNextIdeal);
            ++track.nDelivered;
        }
        track.nNextIdeal = track.nSetAt + ((nAt - track.nSetAt) / kPeriodNs + 1) * kPeriodNs;
    }

    struct Summary {
        double dDeliveredPercent;
        double dP50Us, dP99Us, dMaxUs;
        double dCpuMsPer1000;
        double dWaitsPer1000;
        int64_t nDelivered;
        // The furthest any one timer's count fell short of, and went beyond, its ideal count.
        int64_t nWorstShort;
        int64_t nWorstExtra;
    };
    Summary Summarise() {
        int64_t nExpected = 0;
        int64_t nDelivered = 0;
        Summary summary{};
        for (const TimerTrack& track : m_tracks) {
            const int64_t nIdeal = (m_nCountUntil - track.nSetAt) / kPeriodNs;
            nExpected += nIdeal;
            nDelivered += track.nDelivered;
            summary.nWorstShort = std::max(summary.nWorstShort, nIdeal - track.nDelivered);
            summary.nWorstExtra = std::max(summary.nWorstExtra, track.nDelivered - nIdeal);
        }
        summary.nDelivered = nDelivered;
        summary.dDeliveredPercent = nExpected > 0 ? 100.0 * nDelivered / nExpected : 0.0;
        summary.dP50Us = Percentile(0.50) / 1000.0;
        summary.dP99Us = Percentile(0.99) / 1000.0;
        summary.dMaxUs = m_lateness.empty()
                             ? 0.0
                             : *std::max_element(m_lateness.begin(), m_lateness.end()) / 1000.0;
        summary.dWaitsPer1000 = nDelivered > 0 ? m_nWaits * 1000.0 / nDelivered : 0.0;
        summary.dCpuMsPer1000 =
            nDelivered > 0 ? (m_nCpuNs / 1e6) * 1000.0 / static_cast<double>(nDelivered) : 0.0;
        return summary;
    }

private:
    double Percentile(double dFraction) {
        if (m_lateness.empty()) {
            return 0.0;
        }
        size_t nIndex = static_cast<size_t>(dFraction * (m_lateness.size() - 1));
        std::nth_element(m_lateness.begin(), m_lateness.begin() + nIndex, m_lateness.end());
        return static_cast<double>(m_lateness[nIndex]);
    }

    std::vector<TimerTrack> m_tracks;
    std::vector<int64_t> m_lateness;
    int64_t m_nRunNs = kRunNs;
    int64_t m_nCountUntil = 0;
    int64_t m_nCpuAtStart = 0;
    int64_t m_nCpuNs = 0;
    int64_t m_nWaitsAtStart = 0;
    int64_t m_nWaits = 0;
};

// The run in progress; one at a time.
CLoadRecord g_record;

// ----- The bare load: the timers on a window of the loop's own ------------------------------

constexpr UINT_PTR kLoadStopTimerId = 0xFFFF0000;
size_t g_nLoadTimers = 0;
bool g_bLoadStopped = false;  // set when the stop timer fires: the run is over

// WM_TIMER n (1 to the load's count) is the load's timer n - 1.
LRESULT CALLBACK LoadWndProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    if (nMessage == WM_TIMER) {
        if (wParam >= 1 && wParam <= g_nLoadTimers) {
            g_record.Delivered(wParam - 1, NowNs());
        } else if (wParam == kLoadStopTimerId) {
            g_bLoadStopped = true;
        }
        return 0;
    }
    return DefWindowProcA(hWnd, nMessage, wParam, lParam);
}

HWND CreateLoadWindow() {
    static bool s_bRegistered = false;
    if (!s_bRegistered) {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = LoadWndProc;
        windowClass.lpszClassName = "MirelBenchLoadWindow";
        RegisterClassA(&windowClass);
        s_bRegistered = true;
    }
    return CreateWindowExA(0, "MirelBenchLoadWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           nullptr, nullptr);
}

// Sets the load's timers at its period, and the stop timer, on a fresh load window, and begins
// a run of nRunNs. Each timer's set time, from the start, goes to *pSetOffsets when that is not null.
// With pFollow, timer i is set no sooner than (*pFollow)[i] after the start: the load then has
// the spread of due times that another loop had, and with it the same batches.
HWND SetBareLoad(size_t nTimers, std::vector<int64_t>* pSetOffsets,
                 const std::vector<int64_t>* pFollow = nullptr, int64_t nRunNs = kRunNs) {
    HWND hWnd = CreateLoadWindow();
    g_record.Start(nTimers, nRunNs);
    g_nLoadTimers = nTimers;
    g_bLoadStopped = false;
    if (pSetOffsets != nullptr) {
        pSetOffsets->assign(nTimers, 0);
    }
    const int64_t nStart = NowNs();
    for (size_t i = 0; i < nTimers; ++i) {
        while (pFollow != nullptr && NowNs() < nStart + (*pFollow)[i]) {
        }
        const int64_t nSetAt = NowNs();
        g_record.Armed(i, nSetAt);
        if (pSetOffsets != nullptr) {
            (*pSetOffsets)[i] = nSetAt - nStart;
        }
        SetTimer(hWnd, i + 1, kPeriodMs, nullptr);
    }
    SetTimer(hWnd, kLoadStopTimerId, static_cast<UINT>(nRunNs / 1'000'000), nullptr);
    g_record.BeginRun(nStart);
    return hWnd;
}

}  // namespace

#endif  // MIREL_BENCH_LOAD_RECORD_H
