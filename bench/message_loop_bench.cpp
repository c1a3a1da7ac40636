// The message loop of the POSIX stand-ins under timer load, driven by GetMessageA and by a libuv
// loop that waits on the thread's queue descriptor, beside two references run the same way in
// the same program: Boost.Asio's steady_timer on one io_context, and a plain loop of a min-heap
// over one timerfd with epoll, the least a one-thread design of this kind can cost.
//
// 1. Load: one thread, every timer with a 10 ms period, 3 s, 100 and then 10,000 timers set
//    together at the start. For each loop: the share of the ideal expiries delivered (a late
//    timer folds missed periods into one tick in every loop, so a miss shows here), the
//    lateness against the ideal schedule start + k * period, and the thread's CPU time per
//    1,000 expiries. The libuv loop's figures are also given as ratios to the GetMessageA
//    loop's of the same run.
// 2. SetTimer + KillTimer of one timer while 1,000 or 100,000 others are set (Google Benchmark),
//    and proof that the pair makes no system call: a child process runs a million pairs under a
//    seccomp filter that kills it at its first system call.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/posix_extensions.h"
#include "bench/load_record.h"
#include "platform/windows_api.h"
#include "tests/support/system_call_ban.h"

#ifdef MIREL_BENCH_WITH_LIBUV
#include <uv.h>
#endif

#ifdef MIREL_BENCH_WITH_ASIO
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#endif

namespace {

// When each timer was set, relative to the start of the run. Our loop sets its timers with
// SetTimer and records the offsets it got; the references then arm theirs on exactly these
// offsets, so that every loop faces the same spread of due times and the same batches.
std::vector<int64_t> g_setOffsets;

// ----- Our loop: SetTimer on a message-only window, GetMessageA and DispatchMessageA ---------

// Sets the load's timers on a fresh window; only the GetMessageA run records the schedule that
// the references follow.
HWND SetOurLoad(size_t nTimers, bool bRecordSchedule) {
    return SetBareLoad(nTimers, bRecordSchedule ? &g_setOffsets : nullptr);
}

void RunOurLoop(size_t nTimers) {
    HWND hWnd = SetOurLoad(nTimers, true);
    MSG msg;
    while (!g_bLoadStopped && GetMessageA(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageA(&msg);
    }
    g_record.EndRun();
    DestroyWindow(hWnd);
}

// ----- The same queue driven by libuv through the queue descriptor ---------------------------

#ifdef MIREL_BENCH_WITH_LIBUV
// The host's side of the recipe: when the descriptor is readable, everything the queue holds.
void OnQueueReadable(uv_poll_t* pPoll, int nStatus, int) {
    MSG msg;
    while (!g_bLoadStopped && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&msg);
    }
    if (g_bLoadStopped || nStatus < 0) {
        uv_close(reinterpret_cast<uv_handle_t*>(pPoll), nullptr);
    }
}

void RunLibuvLoop(size_t nTimers) {
    // The loop is ready to wait before the timers are set, as a host's would be.
    uv_loop_t loop;
    uv_poll_t queuePoll;
    if (uv_loop_init(&loop) != 0 ||
        uv_poll_init(&loop, &queuePoll, MirelGetQueueDescriptor()) != 0 ||
        uv_poll_start(&queuePoll, UV_READABLE, OnQueueReadable) != 0) {
        fprintf(stderr, "libuv: the queue descriptor cannot be watched\n");
        return;
    }
    HWND hWnd = SetOurLoad(nTimers, false);
    uv_run(&loop, UV_RUN_DEFAULT);
    g_record.EndRun();
    uv_loop_close(&loop);
    DestroyWindow(hWnd);
}
#endif

// ----- Reference: Boost.Asio steady_timer ----------------------------------------------------

#ifdef MIREL_BENCH_WITH_ASIO
// Each handler re-arms its timer at the first point of its own grid after now, the same
// policy the other loops follow, so that all three fold missed periods alike.
struct CAsioLoad {
    boost::asio::io_context io{1};
    std::vector<boost::asio::steady_timer> timers;
    std::vector<int64_t> setAt;

    void Arm(size_t nTimer, int64_t nDueNs) {
        timers[nTimer].expires_at(
            std::chrono::steady_clock::time_point(std::chrono::nanoseconds(nDueNs)));
        timers[nTimer].async_wait([this, nTimer](const boost::system::error_code& error) {
            if (error) {
                return;
            }
            const int64_t nNow = NowNs();
            g_record.Delivered(nTimer, nNow);
            Arm(nTimer, setAt[nTimer] + ((nNow - setAt[nTimer]) / kPeriodNs + 1) * kPeriodNs);
        });
    }
};

void RunAsioLoop(size_t nTimers) {
    CAsioLoad load;
    load.timers.reserve(nTimers);
    load.setAt.resize(nTimers);
    g_record.Start(nTimers);
    const int64_t nStart = NowNs();
    for (size_t i = 0; i < nTimers; ++i) {
        load.timers.emplace_back(load.io);
        load.setAt[i] = nStart + g_setOffsets[i];
        g_record.Armed(i, load.setAt[i]);
        load.Arm(i, load.setAt[i] + kPeriodNs);
    }
    boost::asio::steady_timer stop(load.io);
    stop.expires_at(
        std::chrono::steady_clock::time_point(std::chrono::nanoseconds(nStart + kRunNs)));
    stop.async_wait([&load](const boost::system::error_code&) { load.io.stop(); });
    g_record.BeginRun(nStart);
    load.io.run();
    g_record.EndRun();
}
#endif

// ----- Reference: a min-heap over one timerfd, with epoll ------------------------------------

struct HeapTimer {
    int64_t nDue;
    size_t nTimer;
    bool operator>(const HeapTimer& other) const { return nDue > other.nDue; }
};

void RunTimerfdLoop(size_t nTimers) {
    const int nTimerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    const int nEpollFd = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    epoll_ctl(nEpollFd, EPOLL_CTL_ADD, nTimerFd, &event);

    g_record.Start(nTimers);
    std::vector<HeapTimer> heap;
    std::vector<int64_t> setAt(nTimers);
    const int64_t nStart = NowNs();
    const int64_t nStop = nStart + kRunNs;
    for (size_t i = 0; i < nTimers; ++i) {
        setAt[i] = nStart + g_setOffsets[i];
        g_record.Armed(i, setAt[i]);
        heap.push_back({setAt[i] + kPeriodNs, i});
        std::push_heap(heap.begin(), heap.end(), std::greater<>());
    }
    g_record.BeginRun(nStart);
    int64_t nArmed = -1;
    for (;;) {
        int64_t nNow = NowNs();
        while (!heap.empty() && heap.front().nDue <= nNow) {
            std::pop_heap(heap.begin(), heap.end(), std::greater<>());
            HeapTimer& timer = heap.back();
            nNow = NowNs();
            g_record.Delivered(timer.nTimer, nNow);
            timer.nDue =
                setAt[timer.nTimer] + ((nNow - setAt[timer.nTimer]) / kPeriodNs + 1) * kPeriodNs;
            std::push_heap(heap.begin(), heap.end(), std::greater<>());
        }
        if (nNow >= nStop) {
            break;
        }
        // The timerfd is re-armed only when the earliest due time changed.
        const int64_t nWake = std::min(heap.empty() ? nStop : heap.front().nDue, nStop);
        if (nWake != nArmed) {
            itimerspec spec{};
            spec.it_value.tv_sec = nWake / 1'000'000'000;
            spec.it_value.tv_nsec = nWake % 1'000'000'000;
            timerfd_settime(nTimerFd, TFD_TIMER_ABSTIME, &spec, nullptr);
            nArmed = nWake;
        }
        epoll_event ready;
        if (epoll_wait(nEpollFd, &ready, 1, -1) == 1) {
            uint64_t nExpirations;
            if (read(nTimerFd, &nExpirations, sizeof nExpirations) < 0) {
                // Woken before the due time (EAGAIN): the loop looks again.
            }
        }
    }
    g_record.EndRun();
    close(nEpollFd);
    close(nTimerFd);
}

// --loads=ours,libuv,asio,timerfd and --timers=100,10000 narrow the load table, for profiling one
// loop.
std::string g_strLoads = "ours,libuv,asio,timerfd";
std::vector<size_t> g_timerCounts = {100, 10000};

void TakeOwnArguments(int* pArgc, char** argv) {
    int nKept = 1;
    for (int i = 1; i < *pArgc; ++i) {
        std::string strArg = argv[i];
        if (strArg.rfind("--loads=", 0) == 0) {
            g_strLoads = strArg.substr(8);
        } else if (strArg.rfind("--timers=", 0) == 0) {
            g_timerCounts.clear();
            for (size_t nPos = 9; nPos < strArg.size();) {
                size_t nEnd = strArg.find(',', nPos);
                if (nEnd == std::string::npos) {
                    nEnd = strArg.size();
                }
                g_timerCounts.push_back(std::stoul(strArg.substr(nPos, nEnd - nPos)));
                nPos = nEnd + 1;
            }
        } else {
            argv[nKept++] = argv[i];
        }
    }
    *pArgc = nKept;
}

bool LoadWanted(const char* szKey) {
    return g_strLoads.find(szKey) != std::string::npos;
}

void PrintLoadTable() {
    struct Loop {
        const char* szName;
        void (*pfnRun)(size_t);
    };
    // Our loop always runs first: it makes the schedule the references follow.
    std::vector<Loop> loops = {{"POSIX stand-in (GetMessageA)", RunOurLoop}};
#ifdef MIREL_BENCH_WITH_LIBUV
    if (LoadWanted("libuv")) {
        loops.push_back({"POSIX stand-in (libuv, fd)", RunLibuvLoop});
    }
#endif
#ifdef MIREL_BENCH_WITH_ASIO
    if (LoadWanted("asio")) {
        loops.push_back({"Boost.Asio steady_timer", RunAsioLoop});
    }
#endif
    if (LoadWanted("timerfd")) {
        loops.push_back({"timerfd + epoll min-heap", RunTimerfdLoop});
    }

    printf(
        "\nLoad: one thread, period 10 ms, %lld s per run, timers set together at the start"
        " (every loop on the schedule our SetTimer calls made)\n",
        static_cast<long long>(kRunNs / 1'000'000'000));
    printf("%7s  %-30s %10s %10s %10s %10s %14s\n", "timers", "loop", "delivered", "late p50",
           "late p99", "late max", "CPU/1000 exp");
    std::vector<std::string> ratios;
    for (size_t nTimers : g_timerCounts) {
        CLoadRecord::Summary ours{};
        for (const Loop& loop : loops) {
            loop.pfnRun(nTimers);
            CLoadRecord::Summary summary = g_record.Summarise();
            if (loop.pfnRun == RunOurLoop) {
                ours = summary;
                if (!LoadWanted("ours")) {
                    continue;
                }
            }
            printf("%7zu  %-30s %9.2f%% %7.0f us %7.0f us %7.0f us %11.3f ms\n", nTimers,
                   loop.szName, summary.dDeliveredPercent, summary.dP50Us, summary.dP99Us,
                   summary.dMaxUs, summary.dCpuMsPer1000);
            fflush(stdout);
#ifdef MIREL_BENCH_WITH_LIBUV
            if (loop.pfnRun == RunLibuvLoop) {
                char szRatio[160];
                snprintf(szRatio, sizeof szRatio,
                         "%7zu  late p50 %.2fx, late p99 %.2fx, CPU/1000 exp %.2fx", nTimers,
                         summary.dP50Us / ours.dP50Us, summary.dP99Us / ours.dP99Us,
                         summary.dCpuMsPer1000 / ours.dCpuMsPer1000);
                ratios.push_back(szRatio);
            }
#endif
        }
    }
    if (!ratios.empty()) {
        printf("\nlibuv through the queue descriptor, as a multiple of the GetMessageA loop's:\n");
        for (const std::string& strRatio : ratios) {
            printf("%s\n", strRatio.c_str());
        }
    }
}

// ----- SetTimer + KillTimer among many timers ------------------------------------------------

constexpr UINT_PTR kProbeID = 0x7FFFFFFF;
// Live timers sit an hour or more ahead; the probe lands "first" (ahead of all of them) or
// "among" them.
constexpr UINT kLiveElapseMs = 3'600'000;

void SetLiveTimers(HWND hWnd, size_t nTimers) {
    for (size_t i = 0; i < nTimers; ++i) {
        SetTimer(hWnd, i + 1, kLiveElapseMs + static_cast<UINT>(i), nullptr);
    }
}

void BM_SetKillAmong(benchmark::State& state) {
    const size_t nTimers = static_cast<size_t>(state.range(0));
    const UINT uProbeElapse =
        state.range(1) == 0 ? 600'000 : kLiveElapseMs + static_cast<UINT>(nTimers / 2);
    HWND hWnd = CreateLoadWindow();
    SetLiveTimers(hWnd, nTimers);
    for (auto _ : state) {
        SetTimer(hWnd, kProbeID, uProbeElapse, nullptr);
        KillTimer(hWnd, kProbeID);
    }
    DestroyWindow(hWnd);
    state.SetLabel(state.range(1) == 0 ? "probe first" : "probe among");
}
BENCHMARK(BM_SetKillAmong)->Args({1000, 0})->Args({1000, 1})->Args({100000, 0})->Args({100000, 1});

// Runs a million set+kill pairs in a child process that a seccomp filter kills at its first
// system call (exit_group aside). Returns true when the child got through.
bool SetKillMakesNoSystemCall(size_t nTimers) {
    fflush(stdout);
    const pid_t nChild = fork();
    if (nChild == 0) {
        HWND hWnd = CreateLoadWindow();
        SetLiveTimers(hWnd, nTimers);
        for (int i = 0; i < 10000; ++i) {  // let the allocator settle first
            SetTimer(hWnd, kProbeID, 600'000, nullptr);
            KillTimer(hWnd, kProbeID);
        }
        if (!BanSystemCalls()) {
            _exit(2);
        }
        for (int i = 0; i < 1000000; ++i) {
            SetTimer(hWnd, kProbeID, 600'000 + i % 1000, nullptr);
            KillTimer(hWnd, kProbeID);
        }
        syscall(SYS_exit_group, 0);
    }
    int nStatus = 0;
    waitpid(nChild, &nStatus, 0);
    if (WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 2) {
        printf("  (seccomp unavailable, check skipped)\n");
        return false;
    }
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    TakeOwnArguments(&argc, argv);
    FILE* pLoad = fopen("/proc/loadavg", "r");
    char szLoad[128] = "?";
    if (pLoad != nullptr) {
        if (fgets(szLoad, sizeof szLoad, pLoad) == nullptr) {
            szLoad[0] = '\0';
        }
        fclose(pLoad);
    }
    printf("Load average at start: %s", szLoad);
#ifndef MIREL_BENCH_WITH_ASIO
    printf("Boost.Asio not found: its reference is left out.\n");
#endif
#ifndef MIREL_BENCH_WITH_LIBUV
    printf("libuv not found: the queue descriptor's loop is left out.\n");
#endif

    printf("\nSystem calls on the SetTimer+KillTimer path (a million pairs under seccomp):\n");
    for (size_t nTimers : {size_t{1000}, size_t{100000}}) {
        printf("  %6zu timers set: %s\n", nTimers,
               SetKillMakesNoSystemCall(nTimers) ? "none" : "SOME (the child was stopped)");
    }
    fflush(stdout);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    PrintLoadTable();
    return 0;
}
