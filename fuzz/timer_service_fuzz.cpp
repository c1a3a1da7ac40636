// libFuzzer target for the timer service as a whole, stateful: each input is a sequence of
// operations on the public API (creating timer components, StartTimer with any elapse,
// ModifyTimer, StopTimer, StopAllTimers, Release, MirelDllFreeMap) and of pumping the queue for a
// while on the stand-ins' driven clock; inside OnTimer the handler stops, starts, modifies,
// releases or frees in its turn. Every step is checked against a plain model of the timers: which
// IDs are live and whose, when each falls due, and so which OnTimer calls must come, in which
// order and how often, and that none comes once its timer was stopped. The program carries the
// timer module's code; its window comes from the build's factory library and message-window
// module, through a configuration file written at start.
//
// Input: a byte chooses an operation and the bytes after it its arguments; in OnTimer one more
// byte chooses what the handler does. When the input runs out, every component is released.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "mirel/exports.h"
#include "mirel/timer.h"
#include "platform/posix/test_clock.h"
#include "platform/posix_extensions.h"
#include "platform/windows_api.h"
#include "timer/timer_manager.h"

namespace {

constexpr int kSlots = 8;
constexpr uint32_t kMinimumElapseMs = 10;
constexpr uint32_t kMaximumElapseMs = 0x7FFFFFFF;

unsigned long long g_nOperations = 0;
unsigned long long g_nPumpSteps = 0;

[[noreturn]] void Fail(const char* szWhat, uint32_t nTimerId = 0) {
    fprintf(stderr, "timer_service_fuzz: %s (timer %u)\n", szWhat, nTimerId);
    abort();
}

// One live timer as the model knows it; times are milliseconds of the driven clock since the
// fuzzer began to drive it.
struct SModelTimer {
    int nSlot;
    int64_t nDueMs;
    uint32_t nElapseMs;
    int32_t nUserValue;
    bool bHeard;  // started with a handler, so that its expiries are seen
};

struct SSlot {
    ITimer* pTimer = nullptr;
    bool bAutoFree = false;
    // The manager keeps an owner entry from the component's first timer to its StopAllTimers or
    // release, also while it holds no timer.
    bool bOwner = false;
};

uint32_t Clamped(uint32_t nElapseMs) {
    return nElapseMs < kMinimumElapseMs   ? kMinimumElapseMs
           : nElapseMs > kMaximumElapseMs ? kMaximumElapseMs
                                          : nElapseMs;
}

class CFuzzRun;
CFuzzRun* g_pRun = nullptr;

class CHandler : public ITimerHandler {
public:
    int32_t GetHandlerVersion() override { return 1; }
    int32_t OnTimer(uint32_t nTimerId, int32_t nUserValue) override;
} g_handler;

class CFuzzRun {
public:
    explicit CFuzzRun(FuzzedDataProvider& data) : m_data(data) {}

    void Run() {
        while (m_data.remaining_bytes() > 0) {
            Operate();
            CheckAgainstService();
        }
        for (int nSlot = 0; nSlot < kSlots; ++nSlot) {
            Release(nSlot);
        }
        Drain();
        CheckAgainstService();
        if (TimerManager.WindowForTesting() != nullptr) {
            Fail("the window outlived its last owner");
        }
    }

    void OnTimer(uint32_t nTimerId, int32_t nUserValue) {
        auto it = m_timers.find(nTimerId);
        if (it == m_timers.end()) {
            Fail("OnTimer for a timer that is not running", nTimerId);
        }
        const SModelTimer timer = it->second;
        if (!timer.bHeard || timer.nUserValue != nUserValue) {
            Fail("OnTimer with the wrong handler or user value", nTimerId);
        }
        if (timer.nDueMs > m_nNowMs) {
            Fail("OnTimer before the timer was due", nTimerId);
        }
        // Timers due earlier came first: unheard ones have had their expiry unseen.
        for (auto& other : m_timers) {
            if (other.second.nDueMs < timer.nDueMs) {
                if (other.second.bHeard) {
                    Fail("OnTimer out of due order", nTimerId);
                }
                Expire(other.second);
            }
        }
        Expire(it->second);
        ActInsideOnTimer(nTimerId, timer.nSlot);
    }

private:
    // ----- Operations ------------------------------------------------------------------------

    enum EOperation {
        kCreate,
        kStart,
        kStartMany,
        kModify,
        kStop,
        kStopMany,
        kStopAll,
        kRelease,
        kFreeMap,
        kSetAutoFree,
        kPump,
        kBusy,
        kOperationCount
    };

    void Operate() {
        const int nSlot = m_data.ConsumeIntegralInRange<int>(0, kSlots - 1);
        switch (m_data.ConsumeIntegralInRange<int>(0, kOperationCount - 1)) {
            case kCreate:
                Create(nSlot);
                break;
            case kStart:
                Start(nSlot);
                break;
            case kStartMany:
                // Many timers at once fill the indexes far enough for their probe runs to meet.
                for (int n = m_data.ConsumeIntegralInRange<int>(1, 64); n > 0; --n) {
                    Start(nSlot);
                }
                break;
            case kModify:
                Modify(nSlot);
                break;
            case kStop:
                Stop(nSlot);
                break;
            case kStopMany:
                for (int n = m_data.ConsumeIntegralInRange<int>(1, 64); n > 0; --n) {
                    Stop(nSlot);
                }
                break;
            case kStopAll:
                StopAll(nSlot);
                break;
            case kRelease:
                Release(nSlot);
                break;
            case kFreeMap:
                FreeMap();
                break;
            case kSetAutoFree:
                if (m_slots[nSlot].pTimer != nullptr) {
                    m_slots[nSlot].bAutoFree = m_data.ConsumeBool();
                    m_slots[nSlot].pTimer->SetAutoFree(m_slots[nSlot].bAutoFree ? 1 : 0);
                    ++g_nOperations;
                }
                break;
            case kPump:
                Pump(m_data.ConsumeIntegralInRange<int>(0, 255),
                     m_data.ConsumeIntegralInRange<int>(1, 16));
                break;
            case kBusy:
                // Time passes without the queue being looked at; missed periods fold.
                AdvanceClock(m_data.ConsumeIntegralInRange<int>(1, 255));
                break;
        }
    }

    // What a handler does in OnTimer, also chosen by the input.
    void ActInsideOnTimer(uint32_t nTimerId, int nOwnSlot) {
        const int nOtherSlot = m_data.ConsumeIntegralInRange<int>(0, kSlots - 1);
        switch (m_data.ConsumeIntegralInRange<int>(0, 15)) {
            case 0:
                StopId(nOwnSlot, nTimerId);
                break;
            case 1:
                StopAll(nOwnSlot);
                break;
            case 2:
                Release(nOwnSlot);
                break;
            case 3:
                Release(nOtherSlot);
                break;
            case 4:
                Start(nOtherSlot);
                break;
            case 5:
                ModifyId(nOwnSlot, nTimerId, ConsumeElapse());
                break;
            case 6:
                FreeMap();
                break;
            case 7:
                Create(nOtherSlot);
                break;
            default:
                break;  // most handlers only take note
        }
    }

    // Elapses: the edges of the clamp, and every value from 8 to 255 ms.
    uint32_t ConsumeElapse() {
        static const uint32_t kEdges[] = {0, 1, 9, 10, 11, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
        const uint8_t nByte = m_data.ConsumeIntegral<uint8_t>();
        return nByte < 8 ? kEdges[nByte] : nByte;
    }

    // Some live timer of any owner, or an ID nobody holds.
    uint32_t ConsumeTimerId() {
        const size_t nPick = m_data.ConsumeIntegral<uint8_t>();
        if (nPick >= m_timers.size()) {
            return nPick == 255 ? 0 : m_nLastId + 1 + static_cast<uint32_t>(nPick);
        }
        auto it = m_timers.begin();
        std::advance(it, nPick);
        return it->first;
    }

    void Create(int nSlot) {
        if (m_slots[nSlot].pTimer != nullptr) {
            return;
        }
        ++g_nOperations;
        ITimer* pTimer = static_cast<ITimer*>(CreateComponent(kTimerComponentId, nSlot + 1));
        if (pTimer == nullptr) {
            Fail("CreateComponent gave no timer component");
        }
        m_slots[nSlot] = SSlot{pTimer, m_data.ConsumeBool(), false};
        pTimer->SetAutoFree(m_slots[nSlot].bAutoFree ? 1 : 0);
    }

    void Start(int nSlot) {
        const uint32_t nElapseMs = ConsumeElapse();
        const int32_t nUserValue = m_data.ConsumeIntegral<int32_t>();
        const bool bHeard = m_data.ConsumeIntegralInRange<int>(0, 3) != 0;
        if (m_slots[nSlot].pTimer == nullptr) {
            return;
        }
        ++g_nOperations;
        const uint32_t nId =
            m_slots[nSlot].pTimer->StartTimer(nElapseMs, nUserValue, bHeard ? &g_handler : nullptr);
        if (nId == 0 || m_timers.count(nId) != 0) {
            Fail("StartTimer gave no ID or a live one", nId);
        }
        if (m_nLastId != 0 && nId != m_nLastId + 1) {
            Fail("IDs did not come from the counter in order", nId);
        }
        m_nLastId = nId;
        m_timers[nId] = SModelTimer{nSlot, m_nNowMs + Clamped(nElapseMs), Clamped(nElapseMs),
                                    nUserValue, bHeard};
        m_slots[nSlot].bOwner = true;
    }

    void Modify(int nSlot) {
        const uint32_t nId = ConsumeTimerId();
        const uint32_t nElapseMs = ConsumeElapse();
        if (m_slots[nSlot].pTimer != nullptr) {
            ModifyId(nSlot, nId, nElapseMs);
        }
    }

    void ModifyId(int nSlot, uint32_t nId, uint32_t nElapseMs) {
        if (m_slots[nSlot].pTimer == nullptr) {
            return;
        }
        ++g_nOperations;
        auto it = m_timers.find(nId);
        const bool bOwn = it != m_timers.end() && it->second.nSlot == nSlot;
        if (m_slots[nSlot].pTimer->ModifyTimer(nId, nElapseMs) != (bOwn ? 1 : 0)) {
            Fail("ModifyTimer answered wrongly", nId);
        }
        if (bOwn) {
            it->second.nElapseMs = Clamped(nElapseMs);
            it->second.nDueMs = m_nNowMs + it->second.nElapseMs;
        }
    }

    void Stop(int nSlot) {
        const uint32_t nId = ConsumeTimerId();
        StopId(nSlot, nId);
    }

    void StopId(int nSlot, uint32_t nId) {
        if (m_slots[nSlot].pTimer == nullptr) {
            return;
        }
        ++g_nOperations;
        m_slots[nSlot].pTimer->StopTimer(nId);
        auto it = m_timers.find(nId);
        if (it != m_timers.end() && it->second.nSlot == nSlot) {
            m_timers.erase(it);
        }
    }

    void StopAll(int nSlot) {
        if (m_slots[nSlot].pTimer == nullptr) {
            return;
        }
        ++g_nOperations;
        m_slots[nSlot].pTimer->StopAllTimers();
        ForgetTimersOf(nSlot);
        m_slots[nSlot].bOwner = false;
    }

    void Release(int nSlot) {
        if (m_slots[nSlot].pTimer == nullptr) {
            return;
        }
        ++g_nOperations;
        ITimer* pTimer = m_slots[nSlot].pTimer;
        Forget(nSlot);
        pTimer->Release(0);
        CheckWindowAfterRelease();
    }

    void FreeMap() {
        ++g_nOperations;
        bool bReleased = false;
        for (int nSlot = 0; nSlot < kSlots; ++nSlot) {
            if (m_slots[nSlot].pTimer != nullptr && m_slots[nSlot].bAutoFree) {
                Forget(nSlot);
                bReleased = true;
            }
        }
        MirelDllFreeMap();
        if (bReleased) {
            CheckWindowAfterRelease();
        }
    }

    void Forget(int nSlot) {
        ForgetTimersOf(nSlot);
        m_slots[nSlot] = SSlot{};
    }

    void ForgetTimersOf(int nSlot) {
        for (auto it = m_timers.begin(); it != m_timers.end();) {
            it = it->second.nSlot == nSlot ? m_timers.erase(it) : std::next(it);
        }
    }

    // ----- Time ------------------------------------------------------------------------------

    void AdvanceClock(int nMs) {
        MirelAdvanceTestClock(static_cast<uint32_t>(nMs));
        m_nNowMs += nMs;
    }

    // Dispatches what is due now, then moves the clock on by nStepMs at a time for nTotalMs,
    // dispatching after each step.
    void Pump(int nTotalMs, int nStepMs) {
        Drain();
        for (int nMoved = 0; nMoved < nTotalMs; nMoved += nStepMs) {
            AdvanceClock(nStepMs);
            Drain();
            ++g_nPumpSteps;
            ++g_nOperations;
        }
    }

    // Every message due by now, dispatched; then every heard timer due by now must have been
    // seen, and the unheard ones have expired unseen.
    void Drain() {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
        for (auto& timer : m_timers) {
            if (timer.second.nDueMs <= m_nNowMs) {
                if (timer.second.bHeard) {
                    Fail("a timer that fell due was never called", timer.first);
                }
                Expire(timer.second);
            }
        }
    }

    // One expiry: the next due time is the first point of the timer's grid after now, so that
    // periods missed while the queue was not looked at fold into this one.
    void Expire(SModelTimer& timer) {
        int64_t nNext = timer.nDueMs + timer.nElapseMs;
        if (nNext <= m_nNowMs) {
            nNext += ((m_nNowMs - nNext) / timer.nElapseMs + 1) * timer.nElapseMs;
        }
        timer.nDueMs = nNext;
    }

    // ----- Checks against the service's own state --------------------------------------------

    void CheckAgainstService() {
        const TimerTableView view = TimerManager.TimersForTesting();
        size_t nOwners = 0;
        bool bAnyLive = false;
        for (int nSlot = 0; nSlot < kSlots; ++nSlot) {
            const SSlot& slot = m_slots[nSlot];
            bAnyLive = bAnyLive || slot.pTimer != nullptr;
            auto itOwner = slot.pTimer != nullptr ? view.find(slot.pTimer) : view.end();
            if ((itOwner != view.end()) != slot.bOwner) {
                Fail("the service's owner entries differ from the model's");
            }
            if (itOwner == view.end()) {
                continue;
            }
            ++nOwners;
            size_t nTimers = 0;
            for (const auto& timer : m_timers) {
                if (timer.second.nSlot != nSlot) {
                    continue;
                }
                ++nTimers;
                auto itTimer = itOwner->second.find(timer.first);
                if (itTimer == itOwner->second.end() ||
                    itTimer->second.nUserValue != timer.second.nUserValue ||
                    (itTimer->second.pHandler != nullptr) != timer.second.bHeard) {
                    Fail("the service lost or changed a timer", timer.first);
                }
            }
            if (nTimers != itOwner->second.size()) {
                Fail("the service holds a timer the model stopped");
            }
        }
        if (nOwners != view.size()) {
            Fail("the service holds an owner that is gone");
        }
        if (MirelDllCanUnloadNow() != (bAnyLive ? 0 : 1)) {
            Fail("MirelDllCanUnloadNow disagrees with the live components");
        }
    }

    // The window goes with the release that leaves no owner.
    void CheckWindowAfterRelease() {
        for (const SSlot& slot : m_slots) {
            if (slot.bOwner) {
                return;
            }
        }
        if (TimerManager.WindowForTesting() != nullptr) {
            Fail("the window outlived its last owner");
        }
    }

    FuzzedDataProvider& m_data;
    SSlot m_slots[kSlots];
    std::map<uint32_t, SModelTimer> m_timers;
    int64_t m_nNowMs = 0;
    // The last ID handed out, in this process; 0 before the first.
    static uint32_t m_nLastId;
};

uint32_t CFuzzRun::m_nLastId = 0;

int32_t CHandler::OnTimer(uint32_t nTimerId, int32_t nUserValue) {
    if (g_pRun == nullptr) {
        Fail("OnTimer outside a run", nTimerId);
    }
    g_pRun->OnTimer(nTimerId, nUserValue);
    return 0;
}

// A failed debug check or a release of a component the module does not know is a finding; the
// module's other lines are expected and kept quiet.
void CheckDebugLine(const char* szLine, void*) {
    if (strstr(szLine, "Mirel[Check]") != nullptr || strstr(szLine, "not exist") != nullptr) {
        fprintf(stderr, "%s", szLine);
        abort();
    }
}

void PrintCount() {
    fprintf(stderr, "timer_service_fuzz: %llu operations, %llu of them steps of the pumped clock\n",
            g_nOperations, g_nPumpSteps);
}

// The configuration that gives the service its window: the factory library and the
// message-window module beside this program, written to a file of its own.
std::string g_configFile;

void RemoveConfiguration() {
    unlink(g_configFile.c_str());
}

void WriteConfiguration() {
    char szExe[MAX_PATH];
    const DWORD nLength = GetModuleFileNameA(nullptr, szExe, sizeof(szExe));
    if (nLength == 0 || nLength >= sizeof(szExe)) {
        Fail("no path of the program");
    }
    std::string bin(szExe, strrchr(szExe, '\\') - szExe);
    char szTemplate[] = "/tmp/mirel-timer-fuzz-XXXXXX";
    const int nFd = mkstemp(szTemplate);
    if (nFd < 0) {
        Fail("no configuration file");
    }
    const std::string text = "[361]\r\nDLL=" + bin + "\\MirFact.dll\r\n[Components]\r\n33=" + bin +
                             "\\MirelMsgWnd.dll\r\n";
    if (write(nFd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        Fail("the configuration file was not written");
    }
    close(nFd);
    g_configFile = szTemplate;
    atexit(RemoveConfiguration);
    std::string windowsPath = "Z:" + g_configFile;
    for (char& c : windowsPath) {
        c = c == '/' ? '\\' : c;
    }
    SetDLLRegistry(windowsPath.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    MirelSetDebugOutputSink(CheckDebugLine, nullptr);
    MirelSetDllSafe(1);
    WriteConfiguration();
    MirelDriveTestClock(1);
    atexit(PrintCount);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    FuzzedDataProvider data(pData, nSize);
    CFuzzRun run(data);
    g_pRun = &run;
    run.Run();
    g_pRun = nullptr;
    return 0;
}
