#include "framework/message_window/window_table.h"

#include <atomic>
#include <new>

#include "framework/message_window/message_window_component.h"
#include "base/module_state.h"
#include "base/module_trace.h"
#include "platform/unwind_guard.h"
#include "module/live_registry.h"

// One window's delivery state. Every field is changed under the table's lock but nDepth, which
// changes only on the window's own thread, where all deliveries run, and which the end of a
// delivery may lower without the lock (see Deliver); the two fields that end reads are atomic.
struct MessageWindowRecord {
    HWND hWnd;
    DWORD dwOwnerThread;
    IMessageSink* pSink;          // null once the component has let go of the window
    std::atomic<int32_t> nDepth;  // deliveries of this window in progress (nested ones included)
    bool bWindowAlive;            // false from WM_NCDESTROY on; changed on the window's thread
    bool bDestroying;             // DestroyWindow has been called for it
    std::atomic<bool> bReleased;  // the component has let go of the window
    CMessageWindow* pHeld;        // the component whose release waits for the window to go, or null
    bool bReleaseReturned;        // that component's Release call has returned
};

namespace {

LRESULT CALLBACK MessageWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    // A module frame: a delivery may end the module's last component (a held release finishing)
    // and still return through this module's code, so it is not idle until then. Not a scoped
    // object: a structured exception from the sink abandons this frame without running its code,
    // and the delivery's guard then leaves the module frame instead (see Deliver).
    EnterModuleFrame();
    const LRESULT lResult = WindowTable.Deliver(hWnd, uMsg, wParam, lParam);
    LeaveModuleFrame();
    return lResult;
}

// A delivery to a sink between its start and its end, in the window procedure's frame.
struct SinkDelivery {
    CWindowTable* pTable;
    MessageWindowRecord* pRecord;
    HWND hWnd;
    UINT uMsg;
    WPARAM wParam;
    LPARAM lParam;
    IMessageSink* pSink;
    int32_t nDepth;
    LRESULT lResult;
};

void CallSink(void* pContext) {
    SinkDelivery& d = *static_cast<SinkDelivery*>(pContext);
    d.lResult = d.pSink->OnWindowMessage(d.hWnd, d.uMsg, d.wParam, d.lParam, d.nDepth);
    if (d.uMsg == WM_NCDESTROY) {
        // The system's own clean-up of the window still belongs to the default handling.
        DefWindowProcA(d.hWnd, d.uMsg, d.wParam, d.lParam);
    }
}

// A structured exception from the sink, handled by a caller of the window procedure, abandons the
// delivery: it ends here, during the unwind, so that the window's depth falls back and a release
// waiting for the window can finish, and so does the window procedure's module frame.
void AbandonSinkDelivery(void* pContext) {
    SinkDelivery& d = *static_cast<SinkDelivery*>(pContext);
    d.pTable->EndDelivery(d.pRecord, d.hWnd, d.uMsg, d.nDepth);
    LeaveModuleFrame();
}

}  // namespace

CWindowTable::~CWindowTable() {
    if (ProcessExiting.load(std::memory_order_relaxed)) {
        return;  // Windows' process exit: no lock is taken and nothing is freed
    }
    // At process exit on POSIX, other threads still run and may be delivering a message of one of
    // these windows: from now on every delivery gets the default handling, and a record that a
    // delivery still holds is freed by that delivery.
    CCriticalLockScope scope(m_lock);
    m_bClosed = true;
    for (const std::map<HWND, MessageWindowRecord*>::value_type& item : m_windows) {
        if (item.second->nDepth == 0) {
            delete item.second;
        }
    }
    m_windows.clear();
    scope.Unlock();
    if (m_bClassRegistered) {
        // Windows does not unregister a library's classes when it is unloaded; a class left behind
        // would point at a procedure that is gone.
        UnregisterClassA(kMessageWindowClassName, ModuleInstance);
    }
}

MessageWindowRecord* CWindowTable::CreateWindowFor(IMessageSink* pSink, HWND* phWnd) {
    {
        CCriticalLockScope scope(m_lock);
        if (!m_bClassRegistered) {
            WNDCLASSA windowClass = {};
            windowClass.lpfnWndProc = MessageWindowProc;
            windowClass.hInstance = ModuleInstance;
            windowClass.lpszClassName = kMessageWindowClassName;
            // A class that exists already under this module's handle is this module's own,
            // left from an earlier load at the same address with the same procedure.
            if (RegisterClassA(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
                TraceModuleError("MirelMsgWnd: RegisterClassA failed (error %u)\n",
                                 static_cast<unsigned>(GetLastError()));
                return nullptr;
            }
            m_bClassRegistered = true;
        }
    }

    MessageWindowRecord* pRecord = new (std::nothrow) MessageWindowRecord();
    if (pRecord == nullptr) {
        TraceModuleError("MirelMsgWnd: out of memory for a window\n");
        return nullptr;
    }
    // The messages of the creation itself find no record yet and get the default handling: the
    // sink hears from the window only once its handle has been handed out.
    HWND hWnd = CreateWindowExA(0, kMessageWindowClassName, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE,
                                nullptr, ModuleInstance, nullptr);
    if (hWnd == nullptr) {
        TraceModuleError("MirelMsgWnd: CreateWindowExA failed (error %u)\n",
                         static_cast<unsigned>(GetLastError()));
        delete pRecord;
        return nullptr;
    }
    pRecord->hWnd = hWnd;
    pRecord->dwOwnerThread = GetCurrentThreadId();
    pRecord->pSink = pSink;
    pRecord->nDepth = 0;
    pRecord->bWindowAlive = true;
    pRecord->bDestroying = false;
    pRecord->bReleased = false;
    pRecord->pHeld = nullptr;
    pRecord->bReleaseReturned = false;
    {
        CCriticalLockScope scope(m_lock);
        m_windows[hWnd] = pRecord;
    }
    *phWnd = hWnd;
    return pRecord;
}

bool CWindowTable::IsWindowAlive(MessageWindowRecord* pRecord) {
    CCriticalLockScope scope(m_lock);
    return pRecord->bWindowAlive;
}

bool CWindowTable::ReleaseWindow(MessageWindowRecord* pRecord, CMessageWindow* pComponent) {
    CCriticalLockScope scope(m_lock);
    pRecord->pSink = nullptr;
    pRecord->bReleased = true;

    if (!pRecord->bWindowAlive) {
        // Destroyed already by someone else. A delivery still on the stack frees the record when
        // it returns; otherwise nobody else knows it any more.
        if (pRecord->nDepth == 0) {
            delete pRecord;
        }
        return false;
    }

    const HWND hWnd = pRecord->hWnd;
    if (GetCurrentThreadId() == pRecord->dwOwnerThread) {
        if (pRecord->nDepth > 0) {
            // Released from inside a delivery of this window (typically by the sink's handler):
            // the window procedure is still on the stack, so the window goes when it returns.
            pRecord->pHeld = pComponent;
            return true;
        }
        pRecord->bDestroying = true;
        scope.Unlock();
        // WM_NCDESTROY frees the record; it must not be touched after this call.
        if (!DestroyWindow(hWnd)) {
            TraceModuleError("MirelMsgWnd: DestroyWindow failed (error %u)\n",
                             static_cast<unsigned>(GetLastError()));
        }
        return false;
    }

    // Only the window's own thread may destroy it: ask that thread, and keep the component until
    // it has, so that the module does not count as idle while its window still exists.
    pRecord->pHeld = pComponent;
    scope.Unlock();
    if (PostMessageA(hWnd, kDestroyRequestMessage, reinterpret_cast<WPARAM>(pRecord),
                     kDestroyRequestTag) ||
        (GetLastError() == ERROR_NOT_ENOUGH_QUOTA &&
         SetTimer(hWnd, kDestroyRequestTimerId, USER_TIMER_MINIMUM, nullptr) != 0)) {
        return true;
    }
    CCriticalLockScope again(m_lock);
    if (!pRecord->bWindowAlive) {
        // The window's thread destroyed it meanwhile and now waits for this release to return.
        return true;
    }
    // The window's thread cannot be reached. The window stays, silent, for as long as that
    // thread keeps it; the component need not wait for it.
    pRecord->pHeld = nullptr;
    TraceModuleError("MirelMsgWnd: cannot ask the thread of window %p to destroy it (error %u)\n",
                     static_cast<void*>(hWnd), static_cast<unsigned>(GetLastError()));
    return false;
}

void CWindowTable::OnReleaseReturned(MessageWindowRecord* pRecord) {
    CCriticalLockScope scope(m_lock);
    pRecord->bReleaseReturned = true;
    if (!pRecord->bWindowAlive && pRecord->nDepth == 0) {
        FinishIfDoneLocked(pRecord, scope);
    }
}

LRESULT CWindowTable::Deliver(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    CCriticalLockScope scope(m_lock);
    std::map<HWND, MessageWindowRecord*>::iterator it =
        m_bClosed ? m_windows.end() : m_windows.find(hWnd);
    if (it == m_windows.end()) {
        scope.Unlock();
        return DefWindowProcA(hWnd, uMsg, wParam, lParam);
    }
    MessageWindowRecord* pRecord = it->second;
    const bool bDestroyRequest = uMsg == kDestroyRequestMessage &&
                                 wParam == reinterpret_cast<WPARAM>(pRecord) &&
                                 lParam == kDestroyRequestTag;
    IMessageSink* pSink = bDestroyRequest ? nullptr : pRecord->pSink;
    // The sink hears how deeply this delivery is nested: 1 for a message from the thread's loop,
    // more for one that reaches the window while the sink is still handling an earlier one.
    const int32_t nDepth = pRecord->nDepth.load(std::memory_order_relaxed) + 1;
    pRecord->nDepth.store(nDepth, std::memory_order_relaxed);
    scope.Unlock();

    LRESULT lResult = 0;
    if (pSink != nullptr) {
        SinkDelivery delivery{this, pRecord, hWnd, uMsg, wParam, lParam, pSink, nDepth, 0};
        MirelCallGuarded(&CallSink, &AbandonSinkDelivery, &delivery);
        lResult = delivery.lResult;
    } else if (!bDestroyRequest) {
        lResult = DefWindowProcA(hWnd, uMsg, wParam, lParam);
    }
    EndDelivery(pRecord, hWnd, uMsg, nDepth);
    return lResult;
}

void CWindowTable::EndDelivery(MessageWindowRecord* pRecord, HWND hWnd, UINT uMsg, int32_t nDepth) {
    // The common end, a window still alive and still the component's, has nothing to settle and
    // takes no lock: only this thread changes the depth, and another thread's release that comes
    // after these checks is settled by the destroy request it sends. Should the table close
    // meanwhile (at exit), it either frees the record after the depth falls to 0 or leaves it.
    if (uMsg != WM_NCDESTROY && pRecord->bWindowAlive &&
        !pRecord->bReleased.load(std::memory_order_acquire) && !m_bClosed.load()) {
        pRecord->nDepth.store(nDepth - 1, std::memory_order_release);
        return;
    }
    CCriticalLockScope relock(m_lock);
    --pRecord->nDepth;
    if (m_bClosed) {
        // The table went away during this delivery: the outermost one frees the record.
        if (pRecord->nDepth == 0) {
            delete pRecord;
        }
        return;
    }
    if (uMsg == WM_NCDESTROY) {
        m_windows.erase(hWnd);
        pRecord->bWindowAlive = false;
    }
    SettleLocked(pRecord, relock);
}

void CWindowTable::DestroyWindowsOfEndingThread() {
    const DWORD dwSelf = GetCurrentThreadId();
    for (;;) {
        HWND hWnd = nullptr;
        {
            CCriticalLockScope scope(m_lock);
            if (m_bClosed) {
                return;
            }
            for (const std::map<HWND, MessageWindowRecord*>::value_type& item : m_windows) {
                MessageWindowRecord* pRecord = item.second;
                if (pRecord->dwOwnerThread == dwSelf && !pRecord->bDestroying) {
                    // Marked first, so that a window DestroyWindow cannot end is not tried again.
                    pRecord->bDestroying = true;
                    hWnd = item.first;
                    break;
                }
            }
        }
        if (hWnd == nullptr) {
            return;
        }
        // The record may be gone once this returns: WM_NCDESTROY settles it.
        DestroyWindow(hWnd);
    }
}

// Runs after every delivery and whenever the component lets go: destroys a released window once
// no delivery of it is on the stack, and frees the record once the window is gone and nobody
// waits on it. The record must not be touched after this call.
void CWindowTable::SettleLocked(MessageWindowRecord* pRecord, CCriticalLockScope& scope) {
    if (pRecord->nDepth > 0) {
        return;  // the outermost delivery settles it
    }
    if (pRecord->bWindowAlive) {
        if (pRecord->bReleased && !pRecord->bDestroying) {
            pRecord->bDestroying = true;
            const HWND hWnd = pRecord->hWnd;
            scope.Unlock();
            if (!DestroyWindow(hWnd)) {
                TraceModuleError("MirelMsgWnd: DestroyWindow failed (error %u)\n",
                                 static_cast<unsigned>(GetLastError()));
            }
        }
        return;
    }
    FinishIfDoneLocked(pRecord, scope);
}

void CWindowTable::FinishIfDoneLocked(MessageWindowRecord* pRecord, CCriticalLockScope& scope) {
    if (!pRecord->bReleased) {
        return;  // the component still owns the record and frees it when it lets go
    }
    if (pRecord->pHeld != nullptr && !pRecord->bReleaseReturned) {
        return;  // the releasing thread is still inside Release; it finishes when it returns
    }
    CMessageWindow* pHeld = pRecord->pHeld;
    delete pRecord;
    scope.Unlock();
    if (pHeld != nullptr) {
        pHeld->FinishHeldRelease();
    }
}
