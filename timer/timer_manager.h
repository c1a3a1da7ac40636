// CTimerManager: the one process-wide object behind every timer component. It obtains the hidden
// message window from the framework's message-window component on demand, sets, re-arms and kills
// Windows timers on it, records which component started which timer, and turns each WM_TIMER of
// the window into one OnTimer call on the window's thread. Any thread may use it at any moment:
// its own lock guards the table, the window and the ID counter, and is never held while it calls
// out to a component or a handler.
#ifndef MIREL_TIMER_TIMER_MANAGER_H
#define MIREL_TIMER_TIMER_MANAGER_H

#include <stdint.h>

#include <mutex>

#include "component/component_holder.h"
#include "mirel/component_config.h"
#include "mirel/message_window.h"
#include "mirel/timer.h"
#include "platform/windows_api.h"
#include "timer/timer_table.h"

// The platform's timer and window calls, and the window component's creation call, replaceable so
// that tests can make them fail where a real failure cannot be provoked.
struct TimerPlatformCalls {
    UINT_PTR(WINAPI* pfnSetTimer)(HWND, UINT_PTR, UINT, TIMERPROC);
    BOOL(WINAPI* pfnKillTimer)(HWND, UINT_PTR);
    BOOL(WINAPI* pfnIsWindow)(HWND);
    int32_t (*pfnCreateMessageWindow)(IMessageWindow*, HWND*, IMessageSink*);
};

class CTimerManager : public CComponentHolder, public IMessageSink {
public:
    CTimerManager();
    ~CTimerManager() override;

    uint32_t StartTimer(ITimer* pOwner, uint32_t nElapseMs, int32_t nUserValue,
                        ITimerHandler* pHandler);
    int32_t ModifyTimer(ITimer* pOwner, uint32_t nTimerId, uint32_t nElapseMs);
    // Once these return, no new OnTimer call for the timers they stopped begins. Called on
    // another thread than the window's, they also wait for such a call already running, unless
    // the caller holds the module lock (see StopWaitsForDispatch).
    void StopTimer(ITimer* pOwner, uint32_t nTimerId);
    void StopAllTimers(ITimer* pOwner);
    void ReleaseWindowIfUnused();

    // IMessageSink
    int32_t GetSinkVersion() override { return 1; }
    int32_t OnWindowMessage(HWND hWnd, uint32_t uMsg, uintptr_t wParam, intptr_t lParam,
                            int32_t nExtra) override;

    // Test seams: the platform calls, and where the ID counter stands.
    void SetPlatformCalls(const TimerPlatformCalls& calls);
    static TimerPlatformCalls RealPlatformCalls();
    void SetNextTimerIdForTesting(uint32_t nNextId);
    HWND WindowForTesting();
    // Starts waiting for another thread's creation of the window.
    int32_t WindowWaitersForTesting();
    IMessageWindow* MessageWindowForTesting();
    TimerTableView TimersForTesting();
    size_t BytesPerTimerForTesting();

private:
    // One OnTimer call in progress, linked from the frame of the dispatch that makes it.
    struct DispatchInProgress {
        ITimer* pOwner;
        uint32_t nTimerId;
        DWORD dwThread;
        DispatchInProgress* pNext;
    };

    uint32_t AllocateTimerID();
    // Called with the lock held and returns with it held; see the definitions.
    int32_t EnsureWindow(std::unique_lock<std::mutex>& lock);
    void WaitForWindowInCreation(std::unique_lock<std::mutex>& lock);
    void WaitForDispatches(std::unique_lock<std::mutex>& lock, ITimer* pOwner, uint32_t nTimerId);
    void KillAllTimers();

    ComponentConfig m_config;
    HWND m_hWnd;
    uint32_t m_nNextTimerID;
    IMessageWindow* m_pMessageWindow;
    CTimerTable m_mapTimers;
    // Set once the counter has passed its largest value: from then on an ID may still be in use.
    bool m_bCounterWrapped;
    TimerPlatformCalls m_calls;

    // Guards every member above but m_config, and the two below. A leaf: nothing that may take
    // another lock of the module or call a component or handler runs while it is held.
    std::mutex m_lock;
    // StartTimer calls between their window check and their record: the window stays meanwhile.
    int32_t m_nStartsInProgress;
    // The thread creating the window, 0 when none. Meanwhile the component writes m_hWnd without
    // the lock, so nobody else reads it, and other starts wait for the outcome.
    DWORD m_dwCreatingThread;
    int32_t m_nWindowWaiters;
    DispatchInProgress* m_pDispatches;
    // Set by the destruction: from then on every operation finds no window and no timer.
    bool m_bDestroyed;
};

// The process-wide manager, the second static object of the module.
extern CTimerManager TimerManager;

#endif  // MIREL_TIMER_TIMER_MANAGER_H
