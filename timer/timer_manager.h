// CTimerManager: the one process-wide object behind every timer component. It obtains the hidden
// message window from the framework's message-window component on demand, sets, re-arms and kills
// Windows timers on it, records which component started which timer, and turns each WM_TIMER of
// the window into one OnTimer call. It takes no lock: SetTimer works only on a window of the
// calling thread, so every timer operation and the dispatch run on the thread that owns the window.
#ifndef MIREL_TIMER_TIMER_MANAGER_H
#define MIREL_TIMER_TIMER_MANAGER_H

#include <stdint.h>

#include <map>

#include "component/component_holder.h"
#include "mirel/component_config.h"
#include "mirel/message_window.h"
#include "mirel/timer.h"
#include "platform/windows_api.h"

constexpr uint32_t kTimerMessage = 275;  // WM_TIMER

struct TimerEntry {
    int32_t nUserValue;       // handed back on every expiry, never interpreted
    ITimerHandler* pHandler;  // may be null; not owned
};

// Owners compare as unsigned addresses, so they are visited in ascending address order.
struct OwnerLess {
    bool operator()(const ITimer* a, const ITimer* b) const {
        return reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b);
    }
};

using OwnerTimers = std::map<uint32_t, TimerEntry>;
using TimerTable = std::map<ITimer*, OwnerTimers, OwnerLess>;

// The platform's timer and window calls, replaceable so that tests can make them fail where a
// real failure cannot be provoked.
struct TimerPlatformCalls {
    UINT_PTR(WINAPI* pfnSetTimer)(HWND, UINT_PTR, UINT, TIMERPROC);
    BOOL(WINAPI* pfnKillTimer)(HWND, UINT_PTR);
    BOOL(WINAPI* pfnIsWindow)(HWND);
};

class CTimerManager : public CComponentHolder, public IMessageSink {
public:
    CTimerManager();
    ~CTimerManager() override;

    uint32_t StartTimer(ITimer* pOwner, uint32_t nElapseMs, int32_t nUserValue,
                        ITimerHandler* pHandler);
    int32_t ModifyTimer(ITimer* pOwner, uint32_t nTimerId, uint32_t nElapseMs);
    void StopTimer(ITimer* pOwner, uint32_t nTimerId);
    void StopAllTimers(ITimer* pOwner);
    void ReleaseWindowIfUnused();

    // IMessageSink
    int32_t GetSinkVersion() override { return 1; }
    int32_t OnWindowMessage(HWND hWnd, uint32_t uMsg, uintptr_t wParam, intptr_t lParam,
                            int32_t nExtra) override;

    // Test seams: the platform calls, and where the ID counter stands.
    void SetPlatformCalls(const TimerPlatformCalls& calls) { m_calls = calls; }
    static TimerPlatformCalls RealPlatformCalls();
    void SetNextTimerIdForTesting(uint32_t nNextId) { m_nNextTimerID = nNextId; }
    HWND WindowForTesting() const { return m_hWnd; }
    IMessageWindow* MessageWindowForTesting() const { return m_pMessageWindow; }
    const TimerTable& TimersForTesting() const { return m_mapTimers; }

private:
    uint32_t AllocateTimerID();
    bool IsTimerIdInUse(uint32_t nTimerId) const;
    static OwnerTimers::iterator FindTimer(OwnerTimers& timers, uint32_t nTimerId);
    int32_t EnsureWindow();
    void KillAllTimers();

    ComponentConfig m_config;
    HWND m_hWnd;
    uint32_t m_nNextTimerID;
    IMessageWindow* m_pMessageWindow;
    TimerTable m_mapTimers;
    // Set once the counter has passed its largest value: from then on an ID may still be in use.
    bool m_bCounterWrapped;
    TimerPlatformCalls m_calls;
};

// The process-wide manager, the second static object of the module.
extern CTimerManager TimerManager;

#endif  // MIREL_TIMER_TIMER_MANAGER_H
