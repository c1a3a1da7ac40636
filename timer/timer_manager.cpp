#include "timer/timer_manager.h"

#include <new>

#include "base/module_trace.h"
#include "platform/unwind_guard.h"
#include "factory/factory_loader.h"
#include "module/live_registry.h"
#include "platform/debug_check.h"
#include "platform/forced_unwind.h"

TimerPlatformCalls CTimerManager::RealPlatformCalls() {
    TimerPlatformCalls calls;
    calls.pfnSetTimer = &SetTimer;
    calls.pfnKillTimer = &KillTimer;
    calls.pfnIsWindow = &IsWindow;
    calls.pfnCreateMessageWindow = [](IMessageWindow* pWindow, HWND* phWnd, IMessageSink* pSink) {
        return pWindow->CreateMessageWindow(phWnd, pSink);
    };
    return calls;
}

CTimerManager::CTimerManager()
    : m_config(kTimerComponentId),
      m_hWnd(nullptr),
      m_nNextTimerID(1),
      m_pMessageWindow(nullptr),
      m_mapTimers(),
      m_bCounterWrapped(false),
      m_calls(RealPlatformCalls()),
      m_nStartsInProgress(0),
      m_dwCreatingThread(0),
      m_nWindowWaiters(0),
      m_pDispatches(nullptr),
      m_nStopsWaiting(0),
      m_bDestroyed(false) {}

// Reached only for a manager other than the process-wide one (whose object is never destroyed).
CTimerManager::~CTimerManager() {
    Destroy();
}

void CTimerManager::Destroy() {
    std::lock_guard<CLeafLock> lock(m_lock);
    if (m_bDestroyed) {
        return;
    }
    // The message-window component is deliberately not released: at unload its module may already
    // be gone, and the window dies with its owner anyway.
    m_mapTimers.Clear([this](uint32_t nTimerId) { m_calls.pfnKillTimer(m_hWnd, nTimerId); });
    if (m_dwCreatingThread == 0) {
        m_hWnd = nullptr;  // otherwise the creating thread finds the manager destroyed and lets go
    }
    m_bDestroyed = true;
    // Its memory goes back now: no call reaches the table once m_bDestroyed is set, and this is
    // the table's only destruction (see the member's declaration).
    m_mapTimers.~CTimerTable();
}

uint32_t CTimerManager::AllocateTimerID() {
    // 0 is no timer ID for the caller, and after the counter wraps an ID may still be running, so
    // both are skipped. There are fewer live timers than IDs, so the loop ends, and since a live
    // ID is found in O(1), a skip costs no more than a hand-out.
    for (;;) {
        const uint32_t nId = m_nNextTimerID++;
        if (m_nNextTimerID == 0) {
            m_bCounterWrapped = true;
        }
        if (nId != 0 && !(m_bCounterWrapped && m_mapTimers.Contains(nId))) {
            MIREL_DCHECK(!m_mapTimers.Contains(nId));  // a new ID is held by no owner
            return nId;
        }
    }
}

// Obtains the window one thread at a time: the first thread to find none creates it, with the
// factory and CreateMessageWindow called without the lock (they call into other modules, which may
// take their own locks and the loader's), and every other start waits for the outcome and then
// uses that window. CreateMessageWindow fills m_hWnd itself: a component may keep the member's
// address to clear it when the window ends. A failed creation leaves nothing behind, so the next
// start tries again. Called with the lock held, returns with it held.
int32_t CTimerManager::EnsureWindow(std::unique_lock<CLeafLock>& lock) {
    WaitForWindowInCreation(lock);
    if (m_dwCreatingThread != 0 || m_hWnd != nullptr || m_bDestroyed) {
        return 0;  // re-entered from inside the creation, or another thread made the window
    }
    // A component still held has no window any more: its creation left the handle null, or the
    // window has gone (its thread ended, or someone destroyed it; the component may have cleared
    // the handle itself). Its timers went with the window, so their records go too, and so does the
    // component, so that nothing keeps a dead window's module loaded.
    IComponent* pStale = m_pMessageWindow;
    m_pMessageWindow = nullptr;
    const bool bTimersDropped = m_mapTimers.HasAnyOwner();
    const size_t nDropped = m_mapTimers.TimerCount();
    m_mapTimers.Clear([](uint32_t) {});
    m_dwCreatingThread = GetCurrentThreadId();
    const TimerPlatformCalls calls = m_calls;
    lock.unlock();
    if (bTimersDropped) {
        TraceModuleError("Mirel[Error]: The timer window is gone; %u timers of it were dropped\n",
                         static_cast<unsigned>(nDropped));
    }
    MIREL_DCHECK(!m_lock.IsHeldByCurrentThread());
    ReleaseOwned(&pStale);
    IComponent* pComponent = nullptr;
    CreateComponentInto(&pComponent, kMessageWindowComponentId, nullptr);
    int32_t nResult = 0;
    if (pComponent != nullptr) {
        nResult =
            calls.pfnCreateMessageWindow(static_cast<IMessageWindow*>(pComponent), &m_hWnd, this);
    }
    lock.lock();
    m_dwCreatingThread = 0;
    if (m_nWindowWaiters != 0) {
        m_windowCreated.notify_all();
    }
    if (pComponent != nullptr && m_hWnd != nullptr && !m_bDestroyed) {
        m_pMessageWindow = static_cast<IMessageWindow*>(pComponent);
        return nResult;
    }
    m_hWnd = nullptr;
    lock.unlock();
    MIREL_DCHECK(!m_lock.IsHeldByCurrentThread());
    ReleaseOwned(&pComponent);
    lock.lock();
    return 0;
}

// Waits on a condition, as a stop waits for a dispatch: the manager is never destroyed, so no
// waiter can outlive the condition.
void CTimerManager::WaitForWindowInCreation(std::unique_lock<CLeafLock>& lock) {
    const DWORD dwSelf = GetCurrentThreadId();
    if (m_dwCreatingThread == 0 || m_dwCreatingThread == dwSelf) {
        return;
    }
    ++m_nWindowWaiters;
    while (m_dwCreatingThread != 0) {
        CLeafLock::Wait(m_windowCreated, lock);
    }
    --m_nWindowWaiters;
}

uint32_t CTimerManager::StartTimer(ITimer* pOwner, uint32_t nElapseMs, int32_t nUserValue,
                                   ITimerHandler* pHandler) {
    std::unique_lock<CLeafLock> lock(m_lock);
    // Counted from here to the record, so that the window is not released under this start by a
    // release on another thread that sees no owner yet.
    ++m_nStartsInProgress;
    uint32_t nTimerId = 0;
    bool bOutOfMemory = false;
    // A second round only after the window was found gone and retired: the fresh window is
    // obtained on this thread.
    for (int nRound = 0; nRound < 2; ++nRound) {
        if (m_dwCreatingThread != 0 || m_hWnd == nullptr) {
            EnsureWindow(lock);
        }
        // No window, no ID: a null handle would set a thread timer, and when SetTimer refuses
        // because the window is gone, the ID is given back. Asking IsWindow only after a refusal
        // saves a look-up of the window on every start.
        const HWND hWnd = m_hWnd;
        if (hWnd == nullptr) {
            break;
        }
        const uint32_t nNextBefore = m_nNextTimerID;
        nTimerId = AllocateTimerID();
        // With many timers the ID's index line is rarely cached: it loads while SetTimer runs.
        m_mapTimers.Prefetch(nTimerId);
        // The timer is set before it is recorded, under the lock, so that its first WM_TIMER
        // cannot be dispatched before the record exists. A refusal is the system's answer and
        // is only returned; ERROR_NOT_ENOUGH_MEMORY included.
        if (m_calls.pfnSetTimer(hWnd, nTimerId, nElapseMs, nullptr) == 0) {
            nTimerId = 0;
            if (m_calls.pfnIsWindow(hWnd)) {
                break;
            }
            m_nNextTimerID = nNextBefore;
            // The window has gone: the next round obtains a fresh one, unless another start has
            // done so already.
            if (m_dwCreatingThread == 0 && m_hWnd == hWnd) {
                m_hWnd = nullptr;
            }
            continue;
        }
        try {
            m_mapTimers.Insert(pOwner, nTimerId, TimerEntry{nUserValue, pHandler});
        } catch (const std::bad_alloc&) {
            m_calls.pfnKillTimer(hWnd, nTimerId);
            nTimerId = 0;
            bOutOfMemory = true;
        }
        break;
    }
    --m_nStartsInProgress;
    lock.unlock();
    if (bOutOfMemory) {
        TraceModuleError("Mirel[Error]: Out of memory for a timer; StartTimer returns 0\n");
    }
    return nTimerId;
}

int32_t CTimerManager::ModifyTimer(ITimer* pOwner, uint32_t nTimerId, uint32_t nElapseMs) {
    std::lock_guard<CLeafLock> lock(m_lock);
    if (m_bDestroyed || !m_mapTimers.Find(pOwner, nTimerId, nullptr)) {
        return 0;
    }
    // Setting an existing ID again replaces the timer and restarts its countdown.
    return m_calls.pfnSetTimer(m_hWnd, nTimerId, nElapseMs, nullptr) != 0 ? 1 : 0;
}

void CTimerManager::StopTimer(ITimer* pOwner, uint32_t nTimerId) {
    std::unique_lock<CLeafLock> lock(m_lock);
    // The owner entry stays even when empty: only StopAllTimers gives up ownership of the window.
    // A stop that stopped nothing has no handler to wait for.
    if (m_bDestroyed || !m_mapTimers.Erase(pOwner, nTimerId)) {
        return;
    }
    m_calls.pfnKillTimer(m_hWnd, nTimerId);
    if (m_pDispatches != nullptr) {
        WaitForDispatches(lock, pOwner, nTimerId);
    }
}

bool CTimerManager::StopAllTimers(ITimer* pOwner, EStopWait wait) {
    std::unique_lock<CLeafLock> lock(m_lock);
    if (m_bDestroyed) {
        return false;
    }
    if (m_mapTimers.HasOwner(pOwner)) {
        m_mapTimers.ForEachTimerOf(
            pOwner, [this](uint32_t nTimerId) { m_calls.pfnKillTimer(m_hWnd, nTimerId); });
        m_mapTimers.EraseOwner(pOwner);
    }
    // Every running handler of the owner counts, also one whose timer its handler stopped itself:
    // the component must outlive them all.
    if (m_pDispatches == nullptr) {
        return false;
    }
    if (wait == EStopWait::kWait) {
        WaitForDispatches(lock, pOwner, 0);
        return false;
    }
    const DWORD dwSelf = GetCurrentThreadId();
    for (DispatchInProgress* p = m_pDispatches; p != nullptr; p = p->pNext) {
        if (p->pOwner == pOwner && p->dwThread != dwSelf) {
            // The dispatch that returns last among the owner's passes this on (EndDispatch).
            p->bFinishRelease = true;
            return true;
        }
    }
    return false;
}

bool CTimerManager::IsDispatchRunning(ITimer* pOwner, uint32_t nTimerId) const {
    const DWORD dwSelf = GetCurrentThreadId();
    for (const DispatchInProgress* p = m_pDispatches; p != nullptr; p = p->pNext) {
        if (p->dwThread != dwSelf && p->pOwner == pOwner &&
            (nTimerId == 0 || p->nTimerId == nTimerId)) {
            return true;
        }
    }
    return false;
}

// After a stop on a thread other than the window's, an OnTimer call for the stopped timers may
// still be running there: the caller waits for it, so that once a component's Release returns,
// none of its handlers runs any more and the component can be destroyed. The window's own thread
// never waits (its handler may stop its own timers). A caller that must not wait (a release by
// MirelDllFreeMap, which holds the module lock a running handler may be waiting for) says so with
// EStopWait::kDefer and never comes here. The manager is never destroyed, so the condition
// variable is still there for a waiter at process exit.
void CTimerManager::WaitForDispatches(std::unique_lock<CLeafLock>& lock, ITimer* pOwner,
                                      uint32_t nTimerId) {
    while (IsDispatchRunning(pOwner, nTimerId)) {
        ++m_nStopsWaiting;
        CLeafLock::Wait(m_dispatchEnded, lock);
        --m_nStopsWaiting;
    }
}

// The handler's call, made through MirelCallGuarded: C++ exceptions end here (a forced unwind of
// thread cancellation goes on, after EndDispatch); a structured exception passes unchanged, with
// EndDispatch run by the guard during its unwind.
MIREL_FORCED_UNWIND_CATCH void CTimerManager::CallHandler(void* pContext) {
    DispatchInProgress* pDispatch = static_cast<DispatchInProgress*>(pContext);
    MIREL_DCHECK(!pDispatch->pManager->m_lock.IsHeldByCurrentThread());
    try {
        pDispatch->entry.pHandler->OnTimer(pDispatch->nTimerId, pDispatch->entry.nUserValue);
    } catch (MirelForcedUnwind&) {
        // The thread is being cancelled: its stack goes, so the dispatch ends here, and the
        // unwind must go on or the runtime aborts the process.
        EndDispatch(pDispatch);
        throw;
    } catch (...) {
        TraceModuleError("Mirel[Error]: OnTimer of timer %u threw; the exception was dropped\n",
                         pDispatch->nTimerId);
    }
}

// The end of one dispatch, once: unlinks its record, wakes the stops that wait, finishes a release
// deferred to it, and closes its module frame. Reached when OnTimer returns or threw, and from an
// unwind that abandons the dispatch's frame.
void CTimerManager::EndDispatch(void* pContext) {
    DispatchInProgress* pDispatch = static_cast<DispatchInProgress*>(pContext);
    CTimerManager* pThis = pDispatch->pManager;
    ITimer* pFinish = nullptr;
    {
        std::lock_guard<CLeafLock> lock(pThis->m_lock);
        if (!pDispatch->bLinked) {
            return;
        }
        pDispatch->bLinked = false;
        DispatchInProgress* pSameOwner = nullptr;
        for (DispatchInProgress** pp = &pThis->m_pDispatches; *pp != nullptr;) {
            if (*pp == pDispatch) {
                *pp = pDispatch->pNext;
                continue;
            }
            if ((*pp)->pOwner == pDispatch->pOwner) {
                pSameOwner = *pp;
            }
            pp = &(*pp)->pNext;
        }
        if (pDispatch->bFinishRelease) {
            // A deferred release ends with the owner's last running handler.
            if (pSameOwner != nullptr) {
                pSameOwner->bFinishRelease = true;
            } else {
                pFinish = pDispatch->pOwner;
            }
        }
        if (pThis->m_nStopsWaiting != 0) {
            pThis->m_dispatchEnded.notify_all();
        }
    }
    MIREL_DCHECK(!pThis->m_lock.IsHeldByCurrentThread());
    if (pFinish != nullptr) {
        FinishDeferredTimerRelease(pFinish);
    }
    LeaveModuleFrame();
}

int32_t CTimerManager::OnWindowMessage(HWND hWnd, uint32_t uMsg, uintptr_t wParam,
                                       intptr_t /*lParam*/, int32_t /*nExtra*/) {
    if (uMsg != WM_TIMER) {
        return 0;
    }
    const uint32_t nTimerId = static_cast<uint32_t>(wParam);
    std::unique_lock<CLeafLock> lock(m_lock);
    // IDs are unique across owners, so the one owner that holds the ID is the first that does.
    // While a window is being created the table is empty and m_hWnd belongs to the creation.
    DispatchInProgress dispatch;
    if (m_bDestroyed || m_dwCreatingThread != 0 || hWnd != m_hWnd ||
        !m_mapTimers.Find(nullptr, nTimerId, &dispatch.entry, &dispatch.pOwner) ||
        dispatch.entry.pHandler == nullptr) {
        return 0;
    }
    // Timers started one after another have consecutive IDs and, sharing a period, fall due
    // together in ID order: the next ID is likely the next dispatch's, and with many timers its
    // index line then loads while this handler runs instead of missing the cache then. A wrong
    // guess costs one line.
    m_mapTimers.Prefetch(nTimerId + 1);
    // Copied out and called without the lock: the handler may start, stop or release, here or
    // through other threads, and nothing of the table is read after it returns.
    // Handlers run only on the thread that owns the window, never on a thread that merely calls.
    MIREL_DCHECK(GetWindowThreadProcessId(hWnd, nullptr) == GetCurrentThreadId());
    dispatch.pManager = this;
    dispatch.nTimerId = nTimerId;
    dispatch.dwThread = GetCurrentThreadId();
    dispatch.bLinked = true;
    dispatch.bFinishRelease = false;
    dispatch.pNext = m_pDispatches;
    m_pDispatches = &dispatch;
    // The handler may release the last component and go on running: the module is not idle, and
    // its idle notification waits, until this frame closes in EndDispatch.
    EnterModuleFrame();
    lock.unlock();
    MirelCallGuarded(&CTimerManager::CallHandler, &CTimerManager::EndDispatch, &dispatch);
    EndDispatch(&dispatch);
    return 0;
}

void CTimerManager::ReleaseWindowIfUnused() {
    IComponent* pComponent = nullptr;
    {
        std::lock_guard<CLeafLock> lock(m_lock);
        // An owner left, a start on its way to becoming one, or a manager already destroyed (its
        // window's module may be gone) keeps the window.
        if (m_bDestroyed || m_mapTimers.HasAnyOwner() || m_nStartsInProgress != 0) {
            return;
        }
        pComponent = m_pMessageWindow;
        m_pMessageWindow = nullptr;
        m_hWnd = nullptr;
    }
    // Released without the lock: the component's release calls into its module.
    MIREL_DCHECK(!m_lock.IsHeldByCurrentThread());
    ReleaseOwned(&pComponent);
}

void CTimerManager::SetPlatformCalls(const TimerPlatformCalls& calls) {
    std::lock_guard<CLeafLock> lock(m_lock);
    m_calls = calls;
}

void CTimerManager::SetNextTimerIdForTesting(uint32_t nNextId) {
    std::lock_guard<CLeafLock> lock(m_lock);
    m_nNextTimerID = nNextId;
}

HWND CTimerManager::WindowForTesting() {
    std::lock_guard<CLeafLock> lock(m_lock);
    return m_dwCreatingThread == 0 ? m_hWnd : nullptr;
}

int32_t CTimerManager::WindowWaitersForTesting() {
    std::lock_guard<CLeafLock> lock(m_lock);
    return m_nWindowWaiters;
}

IMessageWindow* CTimerManager::MessageWindowForTesting() {
    std::lock_guard<CLeafLock> lock(m_lock);
    return m_pMessageWindow;
}

TimerTableView CTimerManager::TimersForTesting() {
    std::lock_guard<CLeafLock> lock(m_lock);
    if (m_bDestroyed) {
        return TimerTableView();
    }
    return m_mapTimers.View();
}

size_t CTimerManager::BytesPerTimerForTesting() {
    std::lock_guard<CLeafLock> lock(m_lock);
    const size_t nTimers = m_bDestroyed ? 0 : m_mapTimers.TimerCount();
    return nTimers == 0 ? 0 : m_mapTimers.BytesHeld() / nTimers;
}
