// The timer service's own costs, through the interfaces a client uses: one StartTimer+StopTimer
// pair with many timers already live (the new timer landing among them or ahead of all of them),
// and the dispatch of one WM_TIMER as the number of owners grows. Boost.Asio's steady_timer start
// and cancel run in the same program, for a ratio measured in one run.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "mirel/exports.h"
#include "mirel/timer.h"
#include "module/module_state.h"
#include "platform/windows_api.h"
#include "timer/timer_manager.h"

#ifdef MIREL_BENCH_WITH_ASIO
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#endif

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

// Timers already live sit far in the future; a new timer "among" them lands in their range, one
// "first" lands ahead of all of them.
constexpr uint32_t kLiveElapseBaseMs = 600000;
constexpr uint32_t kFirstElapseMs = 1000;

// A configuration beside the benchmark that names the factory library and the message-window
// module of the build, so that the service gets its real hidden window.
void ConfigureFramework() {
    char szExe[MAX_PATH] = {0};
    GetModuleFileNameA(nullptr, szExe, MAX_PATH);
    std::string bin(szExe);
    bin = bin.substr(0, bin.find_last_of('\\'));
    const std::string native = "/tmp/mirel-bench-" + std::to_string(getpid()) + ".ini";
    FILE* pFile = fopen(native.c_str(), "w");
    fprintf(pFile, "[361]\nDLL=%s\\MirFact.dll\n[Components]\n33=%s\\MirelMsgWnd.dll\n",
            bin.c_str(), bin.c_str());
    fclose(pFile);
    std::string windows = "Z:" + native;
    for (char& c : windows) {
        if (c == '/')
            c = '\\';
    }
    SetDLLRegistry(windows.c_str());
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

void BM_StartStopPair(benchmark::State& state) {
    const int nTimers = static_cast<int>(state.range(0));
    const int nOwners = static_cast<int>(state.range(1));
    const bool bFirst = state.range(2) != 0;
    LiveTimers live;
    StartLiveTimers(live, nTimers, nOwners);
    ITimer* pClient = live.owners[nOwners / 2];
    const uint32_t nElapse = bFirst ? kFirstElapseMs : kLiveElapseBaseMs + nTimers * 7 / 2;
    for (auto _ : state) {
        const uint32_t nId = pClient->StartTimer(nElapse, 1, nullptr);
        pClient->StopTimer(nId);
        benchmark::DoNotOptimize(nId);
    }
    state.SetLabel(bFirst ? "first" : "among");
}

class CCountingHandler : public ITimerHandler {
public:
    int32_t GetHandlerVersion() override { return 1; }
    int32_t OnTimer(uint32_t, int32_t) override {
        ++m_nCalls;
        return 0;
    }
    int64_t m_nCalls = 0;
};

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
    CCountingHandler handler;
    const uint32_t nId = pLast->StartTimer(kLiveElapseBaseMs, 7, &handler);
    IMessageSink* pSink = &TimerManager;
    const HWND hWnd = TimerManager.WindowForTesting();
    for (auto _ : state) {
        pSink->OnWindowMessage(hWnd, kTimerMessage, nId, 0, 0);
    }
    benchmark::DoNotOptimize(handler.m_nCalls);
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

void PairArguments(benchmark::internal::Benchmark* pBench) {
    for (int nTimers : {1000, 100000}) {
        for (int nOwners : {1, 1000}) {
            for (int bFirst : {0, 1})
                pBench->Args({nTimers, nOwners, bFirst});
        }
    }
}

BENCHMARK(BM_StartStopPair)->Apply(PairArguments);
BENCHMARK(BM_DispatchOneTimer)->Arg(1)->Arg(100)->Arg(10000);
#ifdef MIREL_BENCH_WITH_ASIO
BENCHMARK(BM_AsioStartCancelPair)
    ->Args({1000, 1, 0})
    ->Args({1000, 1, 1})
    ->Args({100000, 1, 0})
    ->Args({100000, 1, 1});
#endif

}  // namespace

int main(int argc, char** argv) {
    MirelSetDllSafe(1);
    ConfigureFramework();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
