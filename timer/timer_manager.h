// CTimerManager: the one process-wide object behind every timer component. It obtains the hidden
// message window from the framework's message-window component on demand, sets, re-arms and kills
// Windows timers on it, records which component started which timer, and turns each WM_TIMER of
// the window into one OnTimer call on the window's thread. Any thread may use it at any moment:
// its own lock guards the table, the window and the ID counter, and is never held while it calls
// out to a component or a handler. Each dispatch is a module frame (module/live_registry.h), so
// that the module is not idle while a handler may still return into it.
#ifndef MIREL_TIMER_TIMER_MANAGER_H
#define MIREL_TIMER_TIMER_MANAGER_H

#include <stdint.h>

#include <condition_variable>
#include <mutex>

#include "component/component_holder.h"
#include "mirel/component_config.h"
#include "mirel/message_window.h"
#include "mirel/timer.h"
#include "platform/leaf_lock.h"
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
    // Whether StopAllTimers waits for a handler of the owner running on another thread: the
    // caller's choice. kWait: it returns once that handler has returned. kDefer: it never waits;
    // when such a handler runs, the caller keeps the component alive and the manager calls
    // FinishDeferredTimerRelease(owner) on the window's thread once the handler has returned.
    enum class EStopWait { kWait, kDefer };

    CTimerManager();
    ~CTimerManager() override;

    uint32_t StartTimer(ITimer* pOwner, uint32_t nElapseMs, int32_t nUserValue,
                        ITimerHandler* pHandler);
    int32_t ModifyTimer(ITimer* pOwner, uint32_t nTimerId, uint32_t nElapseMs);
    // Once these return, no new OnTimer call for the timers they stopped begins. StopTimer, when
    // it stopped a timer on another thread than the window's, also waits for that timer's OnTimer
    // call already running; a stop that stopped nothing returns at once. StopAllTimers waits (see
    // WaitForDispatches) or defers as the caller says; it returns true when it deferred.
    void StopTimer(ITimer* pOwner, uint32_t nTimerId);
    bool StopAllTimers(ITimer* pOwner, EStopWait wait);
    void ReleaseWindowIfUnused();
    // The module's unload (never at process exit on Windows): kills every timer left and frees the
    // table. From then on every call finds no window and no timer; the object itself is never
    // destroyed, so that a thread still calling it at process exit finds it intact.
    void Destroy();

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
    // One OnTimer call in progress, linked from the frame of the dispatch that makes it. A
    // structured exception that a caller of the window procedure handles abandons that frame
    // without running its code: the unwind runs EndDispatch for it first (MirelCallGuarded).
    struct DispatchInProgress {
        CTimerManager* pManager;
        ITimer* pOwner;
        uint32_t nTimerId;
        DWORD dwThread;
        TimerEntry entry;
        bool bLinked;         // still in m_pDispatches; EndDispatch unlinks it once
        bool bFinishRelease;  // the owner's release was deferred to the end of this call
        DispatchInProgress* pNext;
    };

    uint32_t AllocateTimerID();
    // Called with the lock held and returns with it held; see the definitions.
    int32_t EnsureWindow(std::unique_lock<CLeafLock>& lock);
    void WaitForWindowInCreation(std::unique_lock<CLeafLock>& lock);
    bool IsDispatchRunning(ITimer* pOwner, uint32_t nTimerId) const;
    void WaitForDispatches(std::unique_lock<CLeafLock>& lock, ITimer* pOwner, uint32_t nTimerId);
    static void CallHandler(void* pDispatch);
    static void EndDispatch(void* pDispatch);

    ComponentConfig m_config;
    HWND m_hWnd;
    uint32_t m_nNextTimerID;
    IMessageWindow* m_pMessageWindow;
    // In a union so that its life is the manager's to end: Destroy ends it, while the manager's
    // object and every other member stay for late callers.
    union {
        CTimerTable m_mapTimers;
    };
    // Set once the counter has passed its largest value: from then on an ID may still be in use.
    bool m_bCounterWrapped;
    TimerPlatformCalls m_calls;

    // Guards every member above but m_config, and those below. A leaf: nothing that may take
    // another lock of the module or call a component or handler runs while it is held (checked
    // at each call-out in debug builds).
    CLeafLock m_lock;
    // StartTimer calls between their window check and their record: the window stays meanwhile.
    int32_t m_nStartsInProgress;
    // The thread creating the window, 0 when none. Meanwhile the component writes m_hWnd without
    // the lock, so nobody else reads it, and other starts wait for the outcome.
    DWORD m_dwCreatingThread;
    int32_t m_nWindowWaiters;
    std::condition_variable m_windowCreated;
    DispatchInProgress* m_pDispatches;
    // Stops waiting for a running handler, and the condition they wait on: every dispatch's end
    // signals it while one waits.
    int32_t m_nStopsWaiting;
    std::condition_variable m_dispatchEnded;
    // Set by Destroy: from then on every operation finds no window and no timer, and m_mapTimers
    // is gone.
    bool m_bDestroyed;
};

// Ends the release of a timer component that StopAllTimers deferred (EStopWait::kDefer), on the
// window's thread, once the owner's last running handler has returned (timer_component.cpp).
void FinishDeferredTimerRelease(ITimer* pOwner);

// The process-wide manager, the second static object of the module (timer_module.cpp), which
// never destroys it.
extern CTimerManager& TimerManager;

#endif  // MIREL_TIMER_TIMER_MANAGER_H
