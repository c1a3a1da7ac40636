#include "timer/timer_manager.h"

#include <new>
#include <thread>

#include "factory/factory_loader.h"
#include "base/module_lock.h"
#include "base/module_trace.h"
#include "platform/debug_check.h"

namespace {

// The destroyed flag of the process-wide manager, in a byte of its own, so that its clean-up runs
// at most once however its destruction is reached.
unsigned char ManagerDestroyedFlags = 0;
constexpr unsigned char kManagerDestroyed = 0x01;

}  // namespace

TimerPlatformCalls CTimerManager::RealPlatformCalls() {
    TimerPlatformCalls calls;
    calls.pfnSetTimer = &SetTimer;
    calls.pfnKillTimer = &KillTimer;
    calls.pfnIsWindow = &IsWindow;
    return calls;
}

CTimerManager::CTimerManager()
    : m_config(kTimerComponentId),
      m_hWnd(nullptr),
      m_nNextTimerID(1),
      m_pMessageWindow(nullptr),
      m_bCounterWrapped(false),
      m_calls(RealPlatformCalls()),
      m_nStartsInProgress(0),
      m_pDispatches(nullptr),
      m_bDestroyed(false) {}

CTimerManager::~CTimerManager() {
    if ((ManagerDestroyedFlags & kManagerDestroyed) != 0) {
        return;
    }
    ManagerDestroyedFlags |= kManagerDestroyed;
    // The message-window component is deliberately not released: at unload its module may already
    // be gone, and the window dies with its owner anyway.
    KillAllTimers();
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

int32_t CTimerManager::EnsureWindow() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_pMessageWindow != nullptr || m_bDestroyed) {
            return 0;
        }
    }
    // Obtained without the lock: the factory and the window's creation call into other modules,
    // which may take their own locks and the loader's.
    IComponent* pComponent = nullptr;
    CreateComponentInto(&pComponent, kMessageWindowComponentId, nullptr);
    if (pComponent == nullptr) {
        return 0;
    }
    IMessageWindow* pMessageWindow = static_cast<IMessageWindow*>(pComponent);
    HWND hWnd = nullptr;
    const int32_t nResult = pMessageWindow->CreateMessageWindow(&hWnd, this);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_pMessageWindow == nullptr && !m_bDestroyed) {
            m_pMessageWindow = pMessageWindow;
            m_hWnd = hWnd;
            return nResult;
        }
    }
    // Another thread obtained a window meanwhile; one window serves every timer, so this one goes.
    ReleaseOwned(&pComponent);
    return 0;
}

uint32_t CTimerManager::StartTimer(ITimer* pOwner, uint32_t nElapseMs, int32_t nUserValue,
                                   ITimerHandler* pHandler) {
    std::unique_lock<std::mutex> lock(m_lock);
    // Counted from here to the record, so that the window is not released under this start by a
    // release on another thread that sees no owner yet.
    ++m_nStartsInProgress;
    if (m_hWnd == nullptr) {
        lock.unlock();
        EnsureWindow();
        lock.lock();
    }
    uint32_t nTimerId = 0;
    bool bOutOfMemory = false;
    // No window, no ID: a null handle would set a thread timer, and when SetTimer refuses because
    // the window is gone, the ID is given back. Asking IsWindow only after a refusal saves a
    // look-up of the window on every start.
    if (m_hWnd != nullptr) {
        const uint32_t nNextBefore = m_nNextTimerID;
        nTimerId = AllocateTimerID();
        // The timer is set before it is recorded, under the lock, so that its first WM_TIMER
        // cannot be dispatched before the record exists.
        if (m_calls.pfnSetTimer(m_hWnd, nTimerId, nElapseMs, nullptr) == 0) {
            bOutOfMemory = GetLastError() == ERROR_NOT_ENOUGH_MEMORY;
            if (!m_calls.pfnIsWindow(m_hWnd)) {
                m_nNextTimerID = nNextBefore;
            }
            nTimerId = 0;
        } else {
            try {
                m_mapTimers.Insert(pOwner, nTimerId, TimerEntry{nUserValue, pHandler});
            } catch (const std::bad_alloc&) {
                m_calls.pfnKillTimer(m_hWnd, nTimerId);
                nTimerId = 0;
                bOutOfMemory = true;
            }
        }
    }
    --m_nStartsInProgress;
    lock.unlock();
    if (bOutOfMemory) {
        TraceModuleError("Mirel[Error]: Out of memory for a timer; StartTimer returns 0\n");
    }
    return nTimerId;
}

int32_t CTimerManager::ModifyTimer(ITimer* pOwner, uint32_t nTimerId, uint32_t nElapseMs) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_mapTimers.Find(pOwner, nTimerId, nullptr)) {
        return 0;
    }
    // Setting an existing ID again replaces the timer and restarts its countdown.
    return m_calls.pfnSetTimer(m_hWnd, nTimerId, nElapseMs, nullptr) != 0 ? 1 : 0;
}

void CTimerManager::StopTimer(ITimer* pOwner, uint32_t nTimerId) {
    std::unique_lock<std::mutex> lock(m_lock);
    // The owner entry stays even when empty: only StopAllTimers gives up ownership of the window.
    if (m_mapTimers.Erase(pOwner, nTimerId)) {
        m_calls.pfnKillTimer(m_hWnd, nTimerId);
    }
    if (m_pDispatches != nullptr) {
        WaitForDispatches(lock, pOwner, nTimerId);
    }
}

void CTimerManager::StopAllTimers(ITimer* pOwner) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_mapTimers.HasOwner(pOwner)) {
        m_mapTimers.ForEachTimerOf(
            pOwner, [this](uint32_t nTimerId) { m_calls.pfnKillTimer(m_hWnd, nTimerId); });
        m_mapTimers.EraseOwner(pOwner);
    }
    if (m_pDispatches != nullptr) {
        WaitForDispatches(lock, pOwner, 0);
    }
}

// After a stop on a thread other than the window's, an OnTimer call for the stopped timers may
// still be running there: the caller waits for it, so that once a component's Release returns,
// none of its handlers runs any more and the component can be destroyed. The window's own thread
// never waits (its handler may stop its own timers), nor does a thread inside the module lock
// (MirelDllFreeMap), because a running handler may be waiting for that lock itself.
void CTimerManager::WaitForDispatches(std::unique_lock<std::mutex>& lock, ITimer* pOwner,
                                      uint32_t nTimerId) {
    if (IsModuleLockHeldByCurrentThread()) {
        return;
    }
    const DWORD dwSelf = GetCurrentThreadId();
    for (int nRound = 0;; ++nRound) {
        bool bRunning = false;
        for (const DispatchInProgress* p = m_pDispatches; p != nullptr && !bRunning; p = p->pNext) {
            bRunning = p->dwThread != dwSelf && p->pOwner == pOwner &&
                       (nTimerId == 0 || p->nTimerId == nTimerId);
        }
        if (!bRunning) {
            return;
        }
        // Handlers are short; the wait is rare. Polling keeps the manager free of objects whose
        // destruction at process exit could race a dispatch still running on another thread.
        lock.unlock();
        if (nRound < 100) {
            std::this_thread::yield();
        } else {
            Sleep(1);
        }
        lock.lock();
    }
}

int32_t CTimerManager::OnWindowMessage(HWND hWnd, uint32_t uMsg, uintptr_t wParam,
                                       intptr_t /*lParam*/, int32_t /*nExtra*/) {
    if (uMsg != WM_TIMER) {
        return 0;
    }
    const uint32_t nTimerId = static_cast<uint32_t>(wParam);
    std::unique_lock<std::mutex> lock(m_lock);
    // IDs are unique across owners, so the one owner that holds the ID is the first that does.
    TimerEntry entry;
    ITimer* pOwner = nullptr;
    if (hWnd != m_hWnd || !m_mapTimers.Find(nullptr, nTimerId, &entry, &pOwner) ||
        entry.pHandler == nullptr) {
        return 0;
    }
    // Copied out and called without the lock: the handler may start, stop or release, here or
    // through other threads, and nothing of the table is read after it returns.
    // Handlers run only on the thread that owns the window, never on a thread that merely calls.
    MIREL_DCHECK(GetWindowThreadProcessId(hWnd, nullptr) == GetCurrentThreadId());
    DispatchInProgress dispatch{pOwner, nTimerId, GetCurrentThreadId(), m_pDispatches};
    m_pDispatches = &dispatch;
    lock.unlock();
    try {
        entry.pHandler->OnTimer(nTimerId, entry.nUserValue);
    } catch (...) {
        TraceModuleError("Mirel[Error]: OnTimer of timer %u threw; the exception was dropped\n",
                         nTimerId);
    }
    lock.lock();
    for (DispatchInProgress** pp = &m_pDispatches; *pp != nullptr; pp = &(*pp)->pNext) {
        if (*pp == &dispatch) {
            *pp = dispatch.pNext;
            break;
        }
    }
    return 0;
}

void CTimerManager::ReleaseWindowIfUnused() {
    IComponent* pComponent = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        // An owner left, a start on its way to becoming one, or a manager already destroyed (its
        // window's module may be gone) keeps the window.
        if (m_mapTimers.HasAnyOwner() || m_nStartsInProgress != 0 || m_bDestroyed) {
            return;
        }
        pComponent = m_pMessageWindow;
        m_pMessageWindow = nullptr;
        m_hWnd = nullptr;
    }
    // Released without the lock: the component's release calls into its module.
    ReleaseOwned(&pComponent);
}

void CTimerManager::KillAllTimers() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_mapTimers.Clear([this](uint32_t nTimerId) { m_calls.pfnKillTimer(m_hWnd, nTimerId); });
    m_hWnd = nullptr;
    m_bDestroyed = true;
}

void CTimerManager::SetPlatformCalls(const TimerPlatformCalls& calls) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_calls = calls;
}

void CTimerManager::SetNextTimerIdForTesting(uint32_t nNextId) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_nNextTimerID = nNextId;
}

HWND CTimerManager::WindowForTesting() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_hWnd;
}

IMessageWindow* CTimerManager::MessageWindowForTesting() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pMessageWindow;
}

TimerTableView CTimerManager::TimersForTesting() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_mapTimers.View();
}

size_t CTimerManager::BytesPerTimerForTesting() {
    std::lock_guard<std::mutex> lock(m_lock);
    const size_t nTimers = m_mapTimers.TimerCount();
    return nTimers == 0 ? 0 : m_mapTimers.BytesHeld() / nTimers;
}
