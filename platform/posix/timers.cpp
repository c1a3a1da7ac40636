// Windows timers: SetTimer and KillTimer, the timers of a queue and the heap that orders them.
// A timer belongs to the queue of the thread that owns its window, whichever thread sets it.
#include <algorithm>

#include "platform/posix/message_queue.h"

namespace mirel_ui {

namespace {

constexpr int64_t kNanosecondsPerMillisecond = 1000000;

// Windows raises an elapse below 10 ms to 10 ms and cuts one above 0x7FFFFFFF to that.
int64_t ClampedElapse(UINT uElapse) {
    UINT uClamped = uElapse;
    if (uClamped < USER_TIMER_MINIMUM) {
        uClamped = USER_TIMER_MINIMUM;
    } else if (uClamped > USER_TIMER_MAXIMUM) {
        uClamped = USER_TIMER_MAXIMUM;
    }
    return static_cast<int64_t>(uClamped) * kNanosecondsPerMillisecond;
}

}  // namespace

// ----- The heap ------------------------------------------------------------------------------

size_t CTimerHeap::CKeyHash::operator()(const CKey& key) const {
    uint64_t nValue = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key.hWnd));
    nValue ^= static_cast<uint64_t>(key.nID) * 0x9E3779B97F4A7C15ULL;
    nValue ^= nValue >> 29;
    return static_cast<size_t>(nValue);
}

bool CTimerHeap::Before(const CTimerEntry* pLeft, const CTimerEntry* pRight) {
    if (pLeft->nDue != pRight->nDue) {
        return pLeft->nDue < pRight->nDue;
    }
    return pLeft->nSequence < pRight->nSequence;
}

void CTimerHeap::Place(size_t nIndex, CTimerEntry* pTimer) {
    m_heap[nIndex] = pTimer;
    pTimer->nHeapIndex = nIndex;
}

void CTimerHeap::SiftUp(size_t nIndex) {
    CTimerEntry* pTimer = m_heap[nIndex];
    while (nIndex > 0) {
        size_t nParent = (nIndex - 1) / 2;
        if (!Before(pTimer, m_heap[nParent])) {
            break;
        }
        Place(nIndex, m_heap[nParent]);
        nIndex = nParent;
    }
    Place(nIndex, pTimer);
}

void CTimerHeap::SiftDown(size_t nIndex) {
    CTimerEntry* pTimer = m_heap[nIndex];
    const size_t nSize = m_heap.size();
    for (;;) {
        size_t nChild = 2 * nIndex + 1;
        if (nChild >= nSize) {
            break;
        }
        if (nChild + 1 < nSize && Before(m_heap[nChild + 1], m_heap[nChild])) {
            ++nChild;
        }
        if (!Before(m_heap[nChild], pTimer)) {
            break;
        }
        Place(nIndex, m_heap[nChild]);
        nIndex = nChild;
    }
    Place(nIndex, pTimer);
}

// A timer whose due time changed either way moves to its new place.
void CTimerHeap::Restore(size_t nIndex) {
    if (nIndex > 0 && Before(m_heap[nIndex], m_heap[(nIndex - 1) / 2])) {
        SiftUp(nIndex);
    } else {
        SiftDown(nIndex);
    }
}

void CTimerHeap::RemoveFromHeap(size_t nIndex) {
    CTimerEntry* pLast = m_heap.back();
    m_heap.pop_back();
    if (nIndex < m_heap.size()) {
        Place(nIndex, pLast);
        Restore(nIndex);
    }
}

void CTimerHeap::AddProcUse(TIMERPROC pfnProc) {
    if (pfnProc != nullptr) {
        ++m_procUses[pfnProc];
    }
}

void CTimerHeap::DropProcUse(TIMERPROC pfnProc) {
    if (pfnProc == nullptr) {
        return;
    }
    auto it = m_procUses.find(pfnProc);
    if (it != m_procUses.end() && --it->second == 0) {
        m_procUses.erase(it);
    }
}

void CTimerHeap::Set(HWND hWnd, UINT_PTR nID, TIMERPROC pfnProc, int64_t nElapse, int64_t nNow) {
    auto [it, bInserted] = m_entries.try_emplace(CKey{hWnd, nID});
    CTimerEntry& timer = it->second;
    if (!bInserted) {
        DropProcUse(timer.pfnProc);
    }
    timer.hWnd = hWnd;
    timer.nID = nID;
    timer.pfnProc = pfnProc;
    timer.nElapse = nElapse;
    timer.nDue = nNow + nElapse;
    timer.nSequence = m_nNextSequence++;
    AddProcUse(pfnProc);
    if (bInserted) {
        m_heap.push_back(&timer);
        timer.nHeapIndex = m_heap.size() - 1;
        SiftUp(timer.nHeapIndex);
    } else {
        // A replaced timer starts its countdown again, so any pending tick of it is gone too.
        Restore(timer.nHeapIndex);
    }
}

bool CTimerHeap::Kill(HWND hWnd, UINT_PTR nID) {
    auto it = m_entries.find(CKey{hWnd, nID});
    if (it == m_entries.end()) {
        return false;
    }
    RemoveFromHeap(it->second.nHeapIndex);
    DropProcUse(it->second.pfnProc);
    m_entries.erase(it);
    return true;
}

bool CTimerHeap::Contains(HWND hWnd, UINT_PTR nID) const {
    return m_entries.find(CKey{hWnd, nID}) != m_entries.end();
}

void CTimerHeap::KillWindow(HWND hWnd) {
    auto itKeep = std::partition(m_heap.begin(), m_heap.end(), [hWnd](const CTimerEntry* pTimer) {
        return pTimer->hWnd != hWnd;
    });
    if (itKeep == m_heap.end()) {
        return;
    }
    for (auto it = itKeep; it != m_heap.end(); ++it) {
        DropProcUse((*it)->pfnProc);
        m_entries.erase(CKey{(*it)->hWnd, (*it)->nID});
    }
    m_heap.erase(itKeep, m_heap.end());
    // Rebuild the heap bottom-up; cheaper than removing the timers one by one.
    for (size_t nIndex = 0; nIndex < m_heap.size(); ++nIndex) {
        m_heap[nIndex]->nHeapIndex = nIndex;
    }
    for (size_t nIndex = m_heap.size() / 2; nIndex-- > 0;) {
        SiftDown(nIndex);
    }
}

CTimerEntry* CTimerHeap::Earliest(const CMessageFilter& filter) {
    if (m_heap.empty()) {
        return nullptr;
    }
    if (filter.AcceptsAnyWindow() || filter.AcceptsWindow(m_heap.front()->hWnd)) {
        return m_heap.front();
    }
    CTimerEntry* pEarliest = nullptr;
    for (CTimerEntry* pTimer : m_heap) {
        if (filter.AcceptsWindow(pTimer->hWnd) &&
            (pEarliest == nullptr || Before(pTimer, pEarliest))) {
            pEarliest = pTimer;
        }
    }
    return pEarliest;
}

void CTimerHeap::Advance(CTimerEntry* pTimer, int64_t nNow) {
    int64_t nNext = pTimer->nDue + pTimer->nElapse;
    if (nNext <= nNow) {
        nNext += ((nNow - nNext) / pTimer->nElapse + 1) * pTimer->nElapse;
    }
    pTimer->nDue = nNext;
    pTimer->nSequence = m_nNextSequence++;
    SiftDown(pTimer->nHeapIndex);
}

bool CTimerHeap::UsesProc(TIMERPROC pfnProc) const {
    return m_procUses.find(pfnProc) != m_procUses.end();
}

// ----- The queue's timers --------------------------------------------------------------------

void CThreadQueue::SetTimer(HWND hWnd, UINT_PTR nID, int64_t nElapse, TIMERPROC pfnProc) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int64_t nNow = MonotonicNanoseconds();
    m_timers.Set(hWnd, nID, pfnProc, nElapse, nNow);
    // Only another thread can find the owner blocked here; the owner's own calls never wake it.
    WakeOwnerIfBefore(nNow + nElapse);
}

bool CThreadQueue::KillTimer(HWND hWnd, UINT_PTR nID) {
    // The owner may stay blocked until the killed timer's due time; it then finds nothing and
    // waits again, which is cheaper than waking it now for no message.
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timers.Kill(hWnd, nID);
}

UINT_PTR CThreadQueue::SetThreadTimer(UINT_PTR nID, int64_t nElapse, TIMERPROC pfnProc) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // An ID that names a timer of the thread replaces it; any other is ignored and a fresh ID
    // that no thread timer of this thread holds is handed out.
    if (nID == 0 || !m_timers.Contains(nullptr, nID)) {
        do {
            nID = m_nNextThreadTimerID++;
        } while (nID == 0 || m_timers.Contains(nullptr, nID));
    }
    m_timers.Set(nullptr, nID, pfnProc, nElapse, MonotonicNanoseconds());
    return nID;
}

bool CThreadQueue::UsesTimerProc(TIMERPROC pfnProc) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timers.UsesProc(pfnProc);
}

}  // namespace mirel_ui

extern "C" {

// A timer on a window of another thread of the process goes to that thread's queue, as Windows
// does; the owner gets the WM_TIMER messages. With no window the timer belongs to the calling
// thread, and its messages carry no window.
UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
    const int64_t nElapse = mirel_ui::ClampedElapse(uElapse);
    if (hWnd == nullptr) {
        return mirel_ui::CurrentQueue().SetThreadTimer(nIDEvent, nElapse, lpTimerFunc);
    }
    // The shared lock keeps the window, and with it the owner's queue, alive meanwhile.
    std::shared_lock<std::shared_mutex> lock(mirel_ui::WindowTableLock());
    mirel_ui::CWindowRecord* pWindow = mirel_ui::FindWindowLocked(hWnd);
    if (pWindow == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    pWindow->pQueue->SetTimer(hWnd, nIDEvent, nElapse, lpTimerFunc);
    // The result must be non-zero for a window timer, also when the ID itself is 0.
    return nIDEvent != 0 ? nIDEvent : 1;
}

BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    if (hWnd == nullptr) {
        mirel_ui::CThreadQueue* pQueue = mirel_ui::CurrentQueueIfAny();
        if (pQueue == nullptr || !pQueue->KillTimer(nullptr, uIDEvent)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return TRUE;
    }
    std::shared_lock<std::shared_mutex> lock(mirel_ui::WindowTableLock());
    mirel_ui::CWindowRecord* pWindow = mirel_ui::FindWindowLocked(hWnd);
    if (pWindow == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!pWindow->pQueue->KillTimer(hWnd, uIDEvent)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
