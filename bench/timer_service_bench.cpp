// The timer service's own costs, through the interfaces a client uses, each beside the bare
// platform doing the same work in the same run:
// 1. Load, end to end: 100, 1,000 and 10,000 timer components with one 10 ms timer each, for 3 s,
//    through ITimer and the real hidden window, beside the bare POSIX loop (SetTimer on a window
//    of its own) with as many timers set on the same schedule: deliveries against the ideal
//    schedule, lateness, CPU.
// 2. Memory: bytes per live timer, the timer manager and the POSIX layer together.
// 3. One StartTimer+StopTimer pair with many timers already live (the new timer landing among them
//    or ahead of all of them), beside the bare SetTimer+KillTimer pair and Boost.Asio's
//    steady_timer start and cancel; the dispatch of one WM_TIMER as the number of owners grows.
// 4. One expiry from the queue to OnTimer, beside the bare one from the queue to the window
//    procedure, many falling due together on the driven clock.
// 5. Stopping 20,000 timers, earliest first, with and without a host's queue descriptor.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "mirel/exports.h"
#include "mirel/timer.h"
#include "base/module_state.h"
#include "platform/posix_extensions.h"
#include "platform/posix/test_clock.h"
#include "platform/windows_api.h"
#include "tests/support/temp_dir.h"
#include "tests/support/timer_test_support.h"
#include "timer/timer_manager.h"

#ifdef MIREL_BENCH_WITH_ASIO
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#endif

#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bench/load_record.h"

namespace {

// Timers already live sit far in the future; a new timer "among" them lands in their range, one
// "first" lands ahead of all of them.
constexpr uint32_t kLiveElapseBaseMs = 600000;
constexpr uint32_t kFirstElapseMs = 1000;

// The service gets its real hidden window: a configuration naming the factory library and the
// message-window module of the build, in a folder that lives as long as the benchmark.
void ConfigureFramework() {
    static CTempDir s_dir;
    SetDLLRegistry(WriteTimerConfiguration(s_dir, "MirelMsgWnd.dll").c_str());
}

struct LiveTimers {
    std::vector<ITimer*> owners;
    ~LiveTimers() {
        for (ITimer* p : owners)
            p->Release(0);
    }
};

// nTimers live timers spread over nOwners components, with elapses spread over a wide range.
void StartLiveTimers(LiveTimers& live, int nTimers, int nOwners) {
    for (int i = 0; i < nOwners; ++i) {
        live.owners.push_back(static_cast<ITimer*>(CreateComponent(kTimerComponentId, 0)));
    }
    for (int i = 0; i < nTimers; ++i) {
        live.owners[i % nOwners]->StartTimer(kLiveElapseBaseMs + static_cast<uint32_t>(i) * 7, 0,
                                             nullptr);
    }
}

// The arguments of a pair benchmark: live timers, their owners, and whether the new timer lands
// ahead of all of them ("first") or among them.
struct PairCase {
    int nTimers;
    int nOwners;
    bool bFirst;
    uint32_t nElapse;
};

PairCase ReadPairCase(const benchmark::State& state) {
    PairCase pair;
    pair.nTimers = static_cast<int>(state.range(0));
    pair.nOwners = static_cast<int>(state.range(1));
    pair.bFirst = state.range(2) != 0;
    pair.nElapse = pair.bFirst ? kFirstElapseMs : kLiveElapseBaseMs + pair.nTimers * 7 / 2;
    return pair;
}

void BM_StartStopPair(benchmark::State& state) {
    const PairCase pair = ReadPairCase(state);
    LiveTimers live;
    StartLiveTimers(live, pair.nTimers, pair.nOwners);
    ITimer* pClient = live.owners[pair.nOwners / 2];
    for (auto _ : state) {
        const uint32_t nId = pClient->StartTimer(pair.nElapse, 1, nullptr);
        pClient->StopTimer(nId);
        benchmark::DoNotOptimize(nId);
    }
    state.SetLabel(pair.bFirst ? "first" : "among");
}

// The expiry of one timer held by the owner at the highest address: the dispatch visits every
// owner before it.
void BM_DispatchOneTimer(benchmark::State& state) {
    const int nOwners = static_cast<int>(state.range(0));
    LiveTimers live;
    StartLiveTimers(live, nOwners, nOwners);
    ITimer* pLast = live.owners[0];
    for (ITimer* p : live.owners) {
        if (reinterpret_cast<uintptr_t>(p) > reinterpret_cast<uintptr_t>(pLast))
            pLast = p;
    }
    CRecordingHandler handler;
    const uint32_t nId = pLast->StartTimer(kLiveElapseBaseMs, 7, &handler);
    IMessageSink* pSink = &TimerManager;
    const HWND hWnd = TimerManager.WindowForTesting();
    for (auto _ : state) {
        pSink->OnWindowMessage(hWnd, WM_TIMER, nId, 0, 0);
    }
    benchmark::DoNotOptimize(handler.Count());
}

#ifdef MIREL_BENCH_WITH_ASIO
void BM_AsioStartCancelPair(benchmark::State& state) {
    const int nTimers = static_cast<int>(state.range(0));
    const bool bFirst = state.range(2) != 0;
    boost::asio::io_context io;
    std::vector<std::unique_ptr<boost::asio::steady_timer>> live;
    for (int i = 0; i < nTimers; ++i) {
        live.push_back(std::make_unique<boost::asio::steady_timer>(io));
        live.back()->expires_after(std::chrono::milliseconds(kLiveElapseBaseMs + i * 7));
        live.back()->async_wait([](const boost::system::error_code&) {});
    }
    boost::asio::steady_timer timer(io);
    const auto elapse =
        std::chrono::milliseconds(bFirst ? kFirstElapseMs : kLiveElapseBaseMs + nTimers * 7 / 2);
    int64_t n = 0;
    for (auto _ : state) {
        timer.expires_after(elapse);
        timer.async_wait([](const boost::system::error_code&) {});
        timer.cancel();
        // Cancelled waits complete as handlers; run them now and then, as a loop would.
        if ((++n & 1023) == 0)
            io.poll();
    }
    io.poll();
    state.SetLabel(bFirst ? "first" : "among");
    for (auto& t : live)
        t->cancel();
    io.poll();
}
#endif

// ----- The bare platform beside it ------------------------------------------------------------

// A window of its own with nTimers live timers, IDs 1 to nTimers, spread as StartLiveTimers does.
HWND CreateBareLiveTimers(int nTimers) {
    HWND hWnd = CreateLoadWindow();
    for (int i = 0; i < nTimers; ++i)
        SetTimer(hWnd, static_cast<UINT_PTR>(i + 1), kLiveElapseBaseMs + i * 7, nullptr);
    return hWnd;
}

void BM_BareSetKillPair(benchmark::State& state) {
    const PairCase pair = ReadPairCase(state);
    HWND hWnd = CreateBareLiveTimers(pair.nTimers);
    // A new ID every time, as the service hands out: the platform meets the same keys either way.
    UINT_PTR nId = static_cast<UINT_PTR>(pair.nTimers);
    for (auto _ : state) {
        SetTimer(hWnd, ++nId, pair.nElapse, nullptr);
        KillTimer(hWnd, nId);
    }
    DestroyWindow(hWnd);
    state.SetLabel(pair.bFirst ? "first" : "among");
}

// The service's pair and the bare pair in alternating batches of one loop, each with its live
// timers, so that the load of a noisy machine falls on both alike; the gap is the service's own
// cost per pair.
void BM_StartStopOverBare(benchmark::State& state) {
    constexpr int kBatch = 64;
    const PairCase pair = ReadPairCase(state);
    LiveTimers live;
    StartLiveTimers(live, pair.nTimers, pair.nOwners);
    ITimer* pClient = live.owners[pair.nOwners / 2];
    HWND hWnd = CreateBareLiveTimers(pair.nTimers);
    UINT_PTR nBareId = static_cast<UINT_PTR>(pair.nTimers);
    int64_t nOursNs = 0;
    int64_t nBareNs = 0;
    for (auto _ : state) {
        const int64_t nStart = NowNs();
        for (int i = 0; i < kBatch; ++i)
            pClient->StopTimer(pClient->StartTimer(pair.nElapse, 1, nullptr));
        const int64_t nMiddle = NowNs();
        for (int i = 0; i < kBatch; ++i) {
            SetTimer(hWnd, ++nBareId, pair.nElapse, nullptr);
            KillTimer(hWnd, nBareId);
        }
        nOursNs += nMiddle - nStart;
        nBareNs += NowNs() - nMiddle;
    }
    DestroyWindow(hWnd);
    const double dPairs = static_cast<double>(state.iterations()) * kBatch;
    state.counters["ours_ns"] = static_cast<double>(nOursNs) / dPairs;
    state.counters["bare_ns"] = static_cast<double>(nBareNs) / dPairs;
    state.counters["gap_ns"] = static_cast<double>(nOursNs - nBareNs) / dPairs;
    state.SetLabel(pair.bFirst ? "first" : "among");
}

// ----- Expiries -------------------------------------------------------------------------------

// Ours hands each expiry to OnTimer, the bare loop to its window procedure; both record it alike.
class CLoadHandler : public ITimerHandler {
public:
    int32_t GetHandlerVersion() override { return 1; }
    int32_t OnTimer(uint32_t, int32_t nUserValue) override {
        g_record.Delivered(static_cast<size_t>(nUserValue), NowNs());
        return 0;
    }
};

// Takes every message waiting and hands it on; the time it took.
int64_t DrainQueueNs() {
    const int64_t nStart = NowNs();
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
    return NowNs() - nStart;
}

// One expiry from the queue to the client's code, without the loop's waits: nTimers of ours
// and nTimers bare ones fall due together on the driven clock, ours and the bare ones in turn
// (each set with twice the step as period, the bare ones a step later), so that the load of a
// noisy machine falls on both alike. The gap is what the service adds to each expiry.
void BM_ExpiryOverBare(benchmark::State& state) {
    const size_t nTimers = static_cast<size_t>(state.range(0));
    MirelDriveTestClock(1);
    std::vector<ITimer*> components;
    CLoadHandler handler;
    g_record.Start(nTimers);
    for (size_t i = 0; i < nTimers; ++i) {
        components.push_back(static_cast<ITimer*>(CreateComponent(kTimerComponentId, 0)));
        components.back()->StartTimer(2 * kPeriodMs, static_cast<int32_t>(i), &handler);
    }
    MirelAdvanceTestClock(kPeriodMs);
    const HWND hWnd = CreateLoadWindow();
    g_nLoadTimers = nTimers;
    for (size_t i = 0; i < nTimers; ++i)
        SetTimer(hWnd, i + 1, 2 * kPeriodMs, nullptr);
    int64_t nOursNs = 0;
    int64_t nBareNs = 0;
    for (auto _ : state) {
        MirelAdvanceTestClock(kPeriodMs);
        nOursNs += DrainQueueNs();
        MirelAdvanceTestClock(kPeriodMs);
        nBareNs += DrainQueueNs();
    }
    DestroyWindow(hWnd);
    for (ITimer* p : components)
        p->Release(0);
    MirelDriveTestClock(0);
    const double dExpiries = static_cast<double>(state.iterations()) * static_cast<double>(nTimers);
    state.counters["ours_ns"] = static_cast<double>(nOursNs) / dExpiries;
    state.counters["bare_ns"] = static_cast<double>(nBareNs) / dExpiries;
    state.counters["gap_ns"] = static_cast<double>(nOursNs - nBareNs) / dExpiries;
}

// ----- Stops -----------------------------------------------------------------------------------

// 20,000 timers started through ITimer, then stopped in the order they fall due, so that each
// stop takes the earliest timer; with a host's queue descriptor in use (range 1) or without.
// Last in the run, since the descriptor, once made, stays with the thread.
void BM_StopManyTimers(benchmark::State& state) {
    constexpr int kTimers = 20000;
    if (state.range(0) != 0 && MirelGetQueueDescriptor() < 0) {
        state.SkipWithError("no queue descriptor");
        return;
    }
    ITimer* pClient = static_cast<ITimer*>(CreateComponent(kTimerComponentId, 0));
    std::vector<uint32_t> ids(kTimers);
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < kTimers; ++i)
            ids[i] = pClient->StartTimer(kLiveElapseBaseMs + i, 0, nullptr);
        state.ResumeTiming();
        for (uint32_t nId : ids)
            pClient->StopTimer(nId);
    }
    pClient->Release(0);
    state.counters["per_stop"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kTimers,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetLabel(state.range(0) != 0 ? "descriptor" : "no descriptor");
}

// ----- Load, end to end ------------------------------------------------------------------------

// Dispatches until the deadline; a due timer is never more than one period away.
void PumpUntil(int64_t nDeadline, const bool* pbStop) {
    MSG msg;
    while (NowNs() < nDeadline && (pbStop == nullptr || !*pbStop) &&
           GetMessageA(&msg, nullptr, 0, 0) > 0)
        DispatchMessageA(&msg);
}

// When each of the service's timers was started, from the start of its run. The bare loop sets
// its timers on the same offsets: how closely the due times bunch decides how many expiries one
// clock reading and one wake serve, and starting a timer through ITimer takes longer than a
// bare SetTimer, so without this the two loops would face different schedules, not only
// different costs per expiry.
std::vector<int64_t> g_serviceSetOffsets;

// The loops take turns in rounds, and each row shows the round with the median CPU: a drift of the
// machine's speed then falls on all three alike, and the first round at a size, whose starts and
// whose heaps are still cold (its due times spread wider, so the loop wakes more often), does not
// decide the comparison.
constexpr int kLoadRounds = 3;
constexpr int64_t kRoundNs = kRunNs / kLoadRounds;

CLoadRecord::Summary RunServiceLoad(size_t nTimers) {
    std::vector<ITimer*> components;
    for (size_t i = 0; i < nTimers; ++i)
        components.push_back(static_cast<ITimer*>(CreateComponent(kTimerComponentId, 0)));
    CLoadHandler handler;
    g_record.Start(nTimers, kRoundNs);
    g_serviceSetOffsets.assign(nTimers, 0);
    const int64_t nStart = NowNs();
    for (size_t i = 0; i < nTimers; ++i) {
        const int64_t nSetAt = NowNs();
        g_record.Armed(i, nSetAt);
        g_serviceSetOffsets[i] = nSetAt - nStart;
        components[i]->StartTimer(kPeriodMs, static_cast<int32_t>(i), &handler);
    }
    g_record.BeginRun(nStart);
    PumpUntil(nStart + kRoundNs, nullptr);
    g_record.EndRun();
    for (ITimer* p : components)
        p->Release(0);
    return g_record.Summarise();
}

// The bare loop with its timers set on the service's schedule (bFollow), or as fast as it can.
CLoadRecord::Summary RunBareLoad(size_t nTimers, bool bFollow) {
    const int64_t nStart = NowNs();
    HWND hWnd = SetBareLoad(nTimers, nullptr, bFollow ? &g_serviceSetOffsets : nullptr, kRoundNs);
    PumpUntil(nStart + kRoundNs, &g_bLoadStopped);
    g_record.EndRun();
    DestroyWindow(hWnd);
    return g_record.Summarise();
}

void PrintLoadRow(const char* szLoop, size_t nTimers, const CLoadRecord::Summary& s) {
    printf("%-8s %7zu %10lld %8.2f%% %6lld/+%-3lld %9.1f %9.1f %9.3f %9.2f\n", szLoop, nTimers,
           static_cast<long long>(s.nDelivered), s.dDeliveredPercent,
           static_cast<long long>(-s.nWorstShort), static_cast<long long>(s.nWorstExtra), s.dP50Us,
           s.dP99Us, s.dCpuMsPer1000, s.dWaitsPer1000);
}

void PrintRatioRow(const char* szName, size_t nTimers, const CLoadRecord::Summary& ours,
                   const CLoadRecord::Summary& bare) {
    printf("%-8s %7zu %52s %9.2f %9.2f\n", szName, nTimers, "",
           bare.dP99Us > 0 ? ours.dP99Us / bare.dP99Us : 0.0,
           bare.dCpuMsPer1000 > 0 ? ours.dCpuMsPer1000 / bare.dCpuMsPer1000 : 0.0);
}

CLoadRecord::Summary MedianRound(std::vector<CLoadRecord::Summary> rounds) {
    std::nth_element(rounds.begin(), rounds.begin() + rounds.size() / 2, rounds.end(),
                     [](const CLoadRecord::Summary& a, const CLoadRecord::Summary& b) {
                         return a.dCpuMsPer1000 < b.dCpuMsPer1000;
                     });
    return rounds[rounds.size() / 2];
}

// Two bare loops: one on the service's schedule, and one that sets its timers as fast as it can,
// as a host of its own would. How closely the due times bunch decides how many expiries each
// wake-up serves: the second bunches them tighter than ours and wakes less often, while a loop
// on the same schedule that drains faster than ours catches up more often and waits more.
// "waits/1k" counts the loop's wake-ups, so the two effects can be told apart from the cost of
// each expiry.
void ReportLoad() {
    printf(
        "Load: one 10 ms timer per component, one thread, %d rounds of %lld ms taken in turn, the\n"
        "round with the median CPU shown (ours: ITimer and the hidden window; bare: SetTimer on a\n"
        "window of its own, each timer set when ours was started in the same round; bare-own: the\n"
        "bare timers set as fast as the loop can)\n",
        kLoadRounds, static_cast<long long>(kRoundNs / 1'000'000));
    printf("%-8s %7s %10s %9s %10s %9s %9s %9s %9s\n", "loop", "timers", "delivered", "of ideal",
           "per timer", "p50 us", "p99 us", "CPU ms/1k", "waits/1k");
    for (size_t nTimers : {100, 1000, 10000}) {
        std::vector<CLoadRecord::Summary> oursRounds, bareRounds, bareOwnRounds;
        for (int nRound = 0; nRound < kLoadRounds; ++nRound) {
            oursRounds.push_back(RunServiceLoad(nTimers));
            bareRounds.push_back(RunBareLoad(nTimers, true));
            bareOwnRounds.push_back(RunBareLoad(nTimers, false));
        }
        const CLoadRecord::Summary ours = MedianRound(oursRounds);
        const CLoadRecord::Summary bare = MedianRound(bareRounds);
        const CLoadRecord::Summary bareOwn = MedianRound(bareOwnRounds);
        PrintLoadRow("ours", nTimers, ours);
        PrintLoadRow("bare", nTimers, bare);
        PrintLoadRow("bare-own", nTimers, bareOwn);
        PrintRatioRow("vs bare", nTimers, ours, bare);
        PrintRatioRow("vs own", nTimers, ours, bareOwn);
    }
    fflush(stdout);
}

// ----- Memory ----------------------------------------------------------------------------------

// Heap bytes in use, the large blocks that malloc maps on their own included.
size_t HeapBytesInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

void ReportMemory() {
    // The hidden window and the module behind it come up once for the whole service, not with
    // each timer: a keeper brings them up before the counts, and its owner entry holds them.
    ITimer* pKeeper = static_cast<ITimer*>(CreateComponent(kTimerComponentId, 0));
    pKeeper->StopTimer(pKeeper->StartTimer(kLiveElapseBaseMs, 0, nullptr));
    for (int nTimers : {1000, 100000}) {
        LiveTimers live;
        StartLiveTimers(live, 0, 1000);
        const size_t nBefore = HeapBytesInUse();
        for (int i = 0; i < nTimers; ++i)
            live.owners[i % 1000]->StartTimer(kLiveElapseBaseMs + i * 7, 0, nullptr);
        const size_t nAfter = HeapBytesInUse();
        printf(
            "Memory: %6d live timers on 1,000 owners: %5.1f bytes per timer in all (%5.1f in the"
            " timer manager)\n",
            nTimers, static_cast<double>(nAfter - nBefore) / nTimers,
            static_cast<double>(TimerManager.BytesPerTimerForTesting()));
    }
    pKeeper->Release(0);
    fflush(stdout);
}

void PairArguments(benchmark::internal::Benchmark* pBench) {
    for (int nTimers : {1000, 100000}) {
        for (int nOwners : {1, 1000}) {
            for (int bFirst : {0, 1})
                pBench->Args({nTimers, nOwners, bFirst});
        }
    }
}

BENCHMARK(BM_StartStopPair)->Apply(PairArguments);
BENCHMARK(BM_BareSetKillPair)->Apply(PairArguments);
BENCHMARK(BM_StartStopOverBare)->Apply(PairArguments);
BENCHMARK(BM_DispatchOneTimer)->Arg(1)->Arg(100)->Arg(10000);
BENCHMARK(BM_ExpiryOverBare)->Arg(100)->Arg(1000)->Arg(10000);
#ifdef MIREL_BENCH_WITH_ASIO
BENCHMARK(BM_AsioStartCancelPair)
    ->Args({1000, 1, 0})
    ->Args({1000, 1, 1})
    ->Args({100000, 1, 0})
    ->Args({100000, 1, 1});
#endif
BENCHMARK(BM_StopManyTimers)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    MirelSetDllSafe(1);
    ConfigureFramework();
    // --no_load runs the Google Benchmark part alone.
    bool bLoad = true;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--no_load") == 0) {
            bLoad = false;
            argv[i] = argv[argc - 1];
            --argc;
            break;
        }
    }
    if (bLoad) {
        // Memory first, while no earlier run has left spare capacity behind in either layer.
        ReportMemory();
        ReportLoad();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
