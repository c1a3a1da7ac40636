// mirel-demo: a host of the framework, written the way an application uses the timer service. It
// finds the factory library through the Mirel.ini beside it, creates timer components through the
// factory, starts periodic timers with handlers and user values, runs its thread's message loop,
// prints every expiry, and on the way out releases everything and lets the factory library unload
// the idle timer module. Runs the same on Linux and, as the Windows build, under Wine.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/debug_capture.h"
#include "factory/config_resolution.h"
#include "framework/factory_library/factory_library.h"
#include "mirel/component_factory.h"
#include "mirel/exports.h"
#include "mirel/timer.h"
#include "platform/windows_api.h"

namespace {

// The first words of the leak report a module prints when it is unloaded with live components.
constexpr char kLeakReport[] = "Found leak Mirel components";

struct Options {
    int nComponents = 3;
    int nTimersPerComponent = 3;
    std::vector<uint32_t> periodsMs = {20, 50, 100};
    double dSeconds = 3.0;
    bool bQuiet = false;
};

void PrintUsage() {
    printf(
        "usage: mirel-demo [--components N] [--timers N] [--period MS[,MS...]] [--duration S] "
        "[--quiet]\n"
        "  --components N   timer components to create (default 3)\n"
        "  --timers N       timers per component (default 3)\n"
        "  --period LIST    periods in milliseconds, given to the timers in turn (default "
        "20,50,100)\n"
        "  --duration S     seconds to run the message loop (default 3)\n"
        "  --quiet          print only the summary\n");
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* szValue = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--quiet") {
            options.bQuiet = true;
        } else if (arg == "--help" || arg == "-h") {
            return false;
        } else if (szValue == nullptr) {
            fprintf(stderr, "mirel-demo: %s needs a value\n", arg.c_str());
            return false;
        } else if (arg == "--components") {
            options.nComponents = atoi(szValue);
            ++i;
        } else if (arg == "--timers") {
            options.nTimersPerComponent = atoi(szValue);
            ++i;
        } else if (arg == "--duration") {
            options.dSeconds = atof(szValue);
            ++i;
        } else if (arg == "--period") {
            options.periodsMs.clear();
            for (const char* p = szValue; *p != '\0';) {
                options.periodsMs.push_back(static_cast<uint32_t>(strtoul(p, nullptr, 10)));
                p = strchr(p, ',');
                if (p == nullptr)
                    break;
                ++p;
            }
            ++i;
        } else {
            fprintf(stderr, "mirel-demo: unknown option %s\n", arg.c_str());
            return false;
        }
    }
    const bool bPeriodsValid = !options.periodsMs.empty() &&
                               std::all_of(options.periodsMs.begin(), options.periodsMs.end(),
                                           [](uint32_t p) { return p >= 10 && p <= 3600000; });
    if (options.nComponents < 1 || options.nComponents > 10000 || options.nTimersPerComponent < 1 ||
        options.nTimersPerComponent > 10000 || !bPeriodsValid ||
        !(options.dSeconds > 0 && options.dSeconds <= 3600)) {
        fprintf(stderr,
                "mirel-demo: components and timers must be 1..10000, periods 10..3600000 ms, "
                "duration above 0 and at most 3600 s\n");
        return false;
    }
    return true;
}

using Clock = std::chrono::steady_clock;

double MillisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// One timer's expiries, measured against its ideal schedule: start + k * period.
class CExpiryRecorder final : public ITimerHandler {
public:
    CExpiryRecorder(Clock::time_point programStart, uint32_t nPeriodMs, bool bQuiet)
        : m_programStart(programStart), m_nPeriodMs(nPeriodMs), m_bQuiet(bQuiet) {}

    void Started(uint32_t nTimerId) {
        m_nTimerId = nTimerId;
        m_start = Clock::now();
    }

    int32_t GetHandlerVersion() override { return 1; }
    int32_t OnTimer(uint32_t nTimerId, int32_t nUserValue) override {
        const Clock::time_point now = Clock::now();
        const double dSinceStart = MillisecondsBetween(m_start, now);
        // Periods missed while the thread was busy collapse into one expiry, so the ideal time is
        // the last multiple of the period that has passed.
        const double dIdeal = floor(dSinceStart / m_nPeriodMs) * m_nPeriodMs;
        const double dLateMs = dSinceStart - dIdeal;
        m_lateness.push_back(dLateMs);
        if (!m_bQuiet) {
            printf("%10.3f ms  timer %-5u user 0x%08X  late %7.3f ms\n",
                   MillisecondsBetween(m_programStart, now), nTimerId,
                   static_cast<unsigned>(nUserValue), dLateMs);
        }
        return 0;
    }

    // Whole periods between the start and the end of the run.
    int Expected(Clock::time_point end) const {
        return static_cast<int>(MillisecondsBetween(m_start, end) / m_nPeriodMs);
    }

    Clock::time_point m_programStart;
    uint32_t m_nPeriodMs;
    bool m_bQuiet;
    uint32_t m_nTimerId = 0;
    Clock::time_point m_start;
    std::vector<double> m_lateness;
};

class CDeadline final : public ITimerHandler {
public:
    int32_t GetHandlerVersion() override { return 1; }
    int32_t OnTimer(uint32_t, int32_t) override {
        PostQuitMessage(0);
        return 0;
    }
};

double Percentile(std::vector<double> values, double dFraction) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(ceil(dFraction * values.size()));
    index = index == 0 ? 0 : index - 1;
    return values[std::min(index, values.size() - 1)];
}

void PrintSummary(const std::vector<std::unique_ptr<CExpiryRecorder>>& recorders,
                  Clock::time_point end) {
    struct Row {
        int nTimers = 0;
        long nDelivered = 0;
        long nExpected = 0;
        std::vector<double> lateness;
    };
    std::map<uint32_t, Row> rows;
    for (const auto& recorder : recorders) {
        Row& row = rows[recorder->m_nPeriodMs];
        ++row.nTimers;
        row.nDelivered += static_cast<long>(recorder->m_lateness.size());
        row.nExpected += recorder->Expected(end);
        row.lateness.insert(row.lateness.end(), recorder->m_lateness.begin(),
                            recorder->m_lateness.end());
    }
    printf("\n%9s %7s %21s %11s %11s %11s\n", "period", "timers", "delivered/expected", "late p50",
           "late p99", "late max");
    for (const auto& item : rows) {
        const Row& row = item.second;
        char szCount[32];
        snprintf(szCount, sizeof(szCount), "%ld/%ld", row.nDelivered, row.nExpected);
        printf("%6u ms %7d %21s %8.3f ms %8.3f ms %8.3f ms\n", item.first, row.nTimers, szCount,
               Percentile(row.lateness, 0.50), Percentile(row.lateness, 0.99),
               Percentile(row.lateness, 1.0));
    }
}

template <class Fn>
Fn Export(HMODULE hModule, const char* szName) {
    return hModule == nullptr
               ? nullptr
               : reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(hModule, szName)));
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        PrintUsage();
        return 2;
    }
    // Every line the modules write to the debugger output goes on to standard error, and is kept to
    // show that no leak report was printed.
    CDebugCapture watch("[debug output] ");
    const Clock::time_point programStart = Clock::now();

    // The factory library, found as every module finds it: Mirel.ini beside this program.
    HMODULE hFactoryLibrary = LoadFactoryModule(nullptr);
    auto pfnCreate = Export<CreateComponentFn>(hFactoryLibrary, "CreateComponent");
    IComponentFactory* pFactory =
        pfnCreate != nullptr ? static_cast<IComponentFactory*>(pfnCreate(kFactoryComponentId, 0))
                             : nullptr;
    if (pFactory == nullptr) {
        fprintf(stderr,
                "mirel-demo: no factory library through %s\\Mirel.ini; mirel-resolve explains "
                "the configuration step by step\n",
                GetExeDirectory());
        return 1;
    }

    std::vector<ITimer*> components;
    for (int i = 0; i < options.nComponents; ++i) {
        ITimer* pTimer = static_cast<ITimer*>(pFactory->CreateComponentByID(kTimerComponentId, ""));
        if (pTimer == nullptr) {
            fprintf(stderr, "mirel-demo: the factory could not create timer component %d\n", i);
            break;
        }
        components.push_back(pTimer);
    }

    std::vector<std::unique_ptr<CExpiryRecorder>> recorders;
    CDeadline deadline;
    bool bStarted = components.size() == static_cast<size_t>(options.nComponents);
    for (size_t c = 0; bStarted && c < components.size(); ++c) {
        for (int t = 0; t < options.nTimersPerComponent; ++t) {
            const uint32_t nPeriod = options.periodsMs[recorders.size() % options.periodsMs.size()];
            recorders.push_back(
                std::make_unique<CExpiryRecorder>(programStart, nPeriod, options.bQuiet));
            CExpiryRecorder* pRecorder = recorders.back().get();
            // The user value tells the component and the timer apart at a glance.
            const int32_t nUserValue = static_cast<int32_t>((c + 1) << 16 | (t + 1));
            pRecorder->Started(0);
            const uint32_t nTimerId = components[c]->StartTimer(nPeriod, nUserValue, pRecorder);
            if (nTimerId == 0) {
                fprintf(stderr, "mirel-demo: StartTimer failed\n");
                bStarted = false;
                break;
            }
            pRecorder->m_nTimerId = nTimerId;
        }
    }
    if (bStarted) {
        const uint32_t nRunMs = static_cast<uint32_t>(options.dSeconds * 1000.0);
        bStarted = components[0]->StartTimer(nRunMs, -1, &deadline) != 0;
        printf("%d components x %d timers started; running the message loop for %.1f s\n",
               options.nComponents, options.nTimersPerComponent, options.dSeconds);
        MSG msg;
        while (bStarted && GetMessageA(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    const Clock::time_point end = Clock::now();

    for (ITimer* pTimer : components) {
        pTimer->Release(0);
    }
    if (!recorders.empty()) {
        PrintSummary(recorders, end);
    }

    // The way out: the module reports itself idle, and the factory library unloads it at this
    // safe point, outside every module's code.
    auto pfnCanUnload =
        Export<MirelDllCanUnloadNowFn>(GetModuleHandleA("MirelTimer.dll"), "MirelDllCanUnloadNow");
    const int nCanUnload = pfnCanUnload != nullptr ? pfnCanUnload() : -1;
    auto pfnUnloadIdle =
        Export<MirFactUnloadIdleModulesFn>(hFactoryLibrary, MIRFACT_UNLOAD_IDLE_MODULES);
    const int nUnloaded = pfnUnloadIdle != nullptr ? pfnUnloadIdle() : -1;
    const bool bTimerModuleGone = GetModuleHandleA("MirelTimer.dll") == nullptr;
    printf("\nMirelDllCanUnloadNow: %d\n", nCanUnload);
    printf("idle modules unloaded by the factory library: %d; MirelTimer.dll %s\n", nUnloaded,
           bTimerModuleGone ? "unloaded" : "still loaded");
    const std::string debugText = watch.Text();
    int nLeakReports = 0;
    for (size_t at = debugText.find(kLeakReport); at != std::string::npos;
         at = debugText.find(kLeakReport, at + 1)) {
        ++nLeakReports;
    }
    printf("leak reports printed: %d\n", nLeakReports);

    const bool bEveryTimerFired = std::all_of(
        recorders.begin(), recorders.end(),
        [](const std::unique_ptr<CExpiryRecorder>& r) { return !r->m_lateness.empty(); });
    const bool bClean =
        bStarted && bEveryTimerFired && nCanUnload == 1 && bTimerModuleGone && nLeakReports == 0;
    printf("%s\n", bClean ? "clean exit" : "NOT a clean exit");
    return bClean ? 0 : 1;
}
