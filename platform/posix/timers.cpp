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

// ----- The index -----------------------------------------------------------------------------

size_t CTimerIndex::Home(HWND hWnd, UINT_PTR nID) const {
    // Fibonacci hashing: the multiplication spreads consecutive IDs over the whole table, and the
    // top bits of the product are the best mixed ones. (Consecutive slots for consecutive IDs
    // would save a cache miss, but the IDs of a long-lived timer and of a new one then meet in
    // one long run that every new timer walks through.)
    const uint64_t nValue =
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hWnd)) * 31 + static_cast<uint64_t>(nID);
    return static_cast<size_t>((nValue * 0x9E3779B97F4A7C15ULL) >> m_nShift);
}

size_t CTimerIndex::SlotOf(HWND hWnd, UINT_PTR nID) const {
    const size_t nMask = m_slots.size() - 1;
    size_t nSlot = Home(hWnd, nID);
    while (m_slots[nSlot].nEntry != kNone &&
           (m_slots[nSlot].hWnd != hWnd || m_slots[nSlot].nID != nID)) {
        nSlot = (nSlot + 1) & nMask;
    }
    return nSlot;
}

uint32_t CTimerIndex::Find(HWND hWnd, UINT_PTR nID) const {
    return m_slots.empty() ? kNone : m_slots[SlotOf(hWnd, nID)].nEntry;
}

void CTimerIndex::Add(HWND hWnd, UINT_PTR nID, uint32_t nEntry) {
    if ((m_nCount + 1) * 2 > m_slots.size()) {
        Grow();
    }
    m_slots[SlotOf(hWnd, nID)] = CSlot{hWnd, nID, nEntry};
    ++m_nCount;
}

void CTimerIndex::Erase(HWND hWnd, UINT_PTR nID) {
    if (m_slots.empty()) {
        return;
    }
    const size_t nMask = m_slots.size() - 1;
    size_t nHole = SlotOf(hWnd, nID);
    if (m_slots[nHole].nEntry == kNone) {
        return;
    }
    // Later members of the run move back into the hole when their home lies at or before it, so
    // that every key stays reachable from its home without markers for erased slots.
    for (size_t nNext = (nHole + 1) & nMask; m_slots[nNext].nEntry != kNone;
         nNext = (nNext + 1) & nMask) {
        const size_t nHome = Home(m_slots[nNext].hWnd, m_slots[nNext].nID);
        if (((nNext - nHome) & nMask) >= ((nNext - nHole) & nMask)) {
            m_slots[nHole] = m_slots[nNext];
            nHole = nNext;
        }
    }
    m_slots[nHole].nEntry = kNone;
    --m_nCount;
}

void CTimerIndex::Grow() {
    std::vector<CSlot> old;
    old.swap(m_slots);
    const size_t nSize = old.empty() ? 16 : old.size() * 2;
    m_slots.assign(nSize, CSlot{nullptr, 0, kNone});
    m_nShift = 64;
    for (size_t n = nSize; n > 1; n >>= 1) {
        --m_nShift;
    }
    for (const CSlot& slot : old) {
        if (slot.nEntry != kNone) {
            m_slots[SlotOf(slot.hWnd, slot.nID)] = slot;
        }
    }
}

// ----- The heap ------------------------------------------------------------------------------

void CTimerHeap::Place(size_t nIndex, const CSlot& slot) {
    m_heap[nIndex] = slot;
    m_places[slot.nEntry] = static_cast<uint32_t>(nIndex);
}

void CTimerHeap::SiftUp(size_t nIndex) {
    const CSlot slot = m_heap[nIndex];
    while (nIndex > 0) {
        const size_t nParent = (nIndex - 1) / kArity;
        if (slot.nDue >= m_heap[nParent].nDue) {
            break;
        }
        Place(nIndex, m_heap[nParent]);
        nIndex = nParent;
    }
    Place(nIndex, slot);
}

// The earliest of the children is picked without branches: which child wins is a coin toss to
// the processor, and mispredicted branches would cost more than the comparisons themselves.
void CTimerHeap::SiftDown(size_t nIndex) {
    const CSlot slot = m_heap[nIndex];
    const size_t nSize = m_heap.size();
    for (;;) {
        const size_t nFirstChild = kArity * nIndex + 1;
        if (nFirstChild >= nSize) {
            break;
        }
        const size_t nEndChild = std::min(nFirstChild + kArity, nSize);
        size_t nBest = nFirstChild;
        int64_t nBestDue = m_heap[nFirstChild].nDue;
        for (size_t nChild = nFirstChild + 1; nChild < nEndChild; ++nChild) {
            const int64_t nDue = m_heap[nChild].nDue;
            const bool bEarlier = nDue < nBestDue;
            nBest = bEarlier ? nChild : nBest;
            nBestDue = bEarlier ? nDue : nBestDue;
        }
        if (nBestDue >= slot.nDue) {
            break;
        }
        Place(nIndex, m_heap[nBest]);
        nIndex = nBest;
    }
    Place(nIndex, slot);
}

// A timer whose due time changed either way moves to its new place.
void CTimerHeap::Restore(size_t nIndex) {
    if (nIndex > 0 && m_heap[nIndex].nDue < m_heap[(nIndex - 1) / kArity].nDue) {
        SiftUp(nIndex);
    } else {
        SiftDown(nIndex);
    }
}

void CTimerHeap::RemoveFromHeap(size_t nIndex) {
    const CSlot last = m_heap.back();
    m_heap.pop_back();
    if (nIndex < m_heap.size()) {
        Place(nIndex, last);
        Restore(nIndex);
    }
}

void CTimerHeap::FreeEntry(uint32_t nEntry) {
    CTimerEntry& timer = m_pool[nEntry];
    DropProcUse(timer.pfnProc);
    m_index.Erase(timer.hWnd, timer.nID);
    m_freeEntries.push_back(nEntry);
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
    uint32_t nEntry = m_index.Find(hWnd, nID);
    const bool bInserted = nEntry == CTimerIndex::kNone;
    if (bInserted) {
        if (m_freeEntries.empty()) {
            nEntry = static_cast<uint32_t>(m_pool.size());
            m_pool.emplace_back();
            m_places.push_back(0);
        } else {
            nEntry = m_freeEntries.back();
            m_freeEntries.pop_back();
        }
        m_index.Add(hWnd, nID, nEntry);
    } else {
        DropProcUse(m_pool[nEntry].pfnProc);
    }
    CTimerEntry& timer = m_pool[nEntry];
    timer.hWnd = hWnd;
    timer.nID = nID;
    timer.pfnProc = pfnProc;
    timer.nElapse = nElapse;
    AddProcUse(pfnProc);
    const CSlot slot{nNow + nElapse, nEntry};
    if (bInserted) {
        m_heap.push_back(slot);
        SiftUp(m_heap.size() - 1);
    } else {
        // A replaced timer starts its countdown again, so any pending tick of it is gone too.
        m_heap[m_places[nEntry]] = slot;
        Restore(m_places[nEntry]);
    }
}

bool CTimerHeap::Kill(HWND hWnd, UINT_PTR nID) {
    const uint32_t nEntry = m_index.Find(hWnd, nID);
    if (nEntry == CTimerIndex::kNone) {
        return false;
    }
    RemoveFromHeap(m_places[nEntry]);
    FreeEntry(nEntry);
    return true;
}

bool CTimerHeap::Contains(HWND hWnd, UINT_PTR nID) const {
    return m_index.Find(hWnd, nID) != CTimerIndex::kNone;
}

void CTimerHeap::KillWindow(HWND hWnd) {
    auto itKeep = std::partition(m_heap.begin(), m_heap.end(), [this, hWnd](const CSlot& slot) {
        return m_pool[slot.nEntry].hWnd != hWnd;
    });
    if (itKeep == m_heap.end()) {
        return;
    }
    for (auto it = itKeep; it != m_heap.end(); ++it) {
        FreeEntry(it->nEntry);
    }
    m_heap.erase(itKeep, m_heap.end());
    // Rebuild the heap bottom-up; cheaper than removing the timers one by one.
    for (size_t nIndex = 0; nIndex < m_heap.size(); ++nIndex) {
        m_places[m_heap[nIndex].nEntry] = static_cast<uint32_t>(nIndex);
    }
    for (size_t nIndex = m_heap.size() / kArity + 1; nIndex-- > 0;) {
        if (nIndex < m_heap.size()) {
            SiftDown(nIndex);
        }
    }
}

CTimerEntry* CTimerHeap::Earliest(const CMessageFilter& filter) {
    if (m_heap.empty()) {
        return nullptr;
    }
    CTimerEntry* pFirst = &m_pool[m_heap.front().nEntry];
    if (filter.AcceptsAnyWindow() || filter.AcceptsWindow(pFirst->hWnd)) {
        return pFirst;
    }
    const CSlot* pEarliest = nullptr;
    for (const CSlot& slot : m_heap) {
        if (filter.AcceptsWindow(m_pool[slot.nEntry].hWnd) &&
            (pEarliest == nullptr || slot.nDue < pEarliest->nDue)) {
            pEarliest = &slot;
        }
    }
    return pEarliest == nullptr ? nullptr : &m_pool[pEarliest->nEntry];
}

void CTimerHeap::Advance(CTimerEntry* pTimer, int64_t nNow) {
    const size_t nPlace = PlaceOf(pTimer);
    CSlot& slot = m_heap[nPlace];
    int64_t nNext = slot.nDue + pTimer->nElapse;
    if (nNext <= nNow) {
        nNext += ((nNow - nNext) / pTimer->nElapse + 1) * pTimer->nElapse;
    }
    slot.nDue = nNext;
    SiftDown(nPlace);
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
    ReflectInDescriptor();
}

bool CThreadQueue::KillTimer(HWND hWnd, UINT_PTR nID) {
    // The owner may stay blocked until the killed timer's due time; it then finds nothing and
    // waits again, which is cheaper than waking it now for no message.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_timers.Kill(hWnd, nID)) {
        return false;
    }
    ReflectInDescriptor();
    return true;
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
    ReflectInDescriptor();
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
    if (!mirel_ui::WithOwnerQueue(hWnd, [&](mirel_ui::CThreadQueue& queue) {
            queue.SetTimer(hWnd, nIDEvent, nElapse, lpTimerFunc);
        })) {
        return 0;
    }
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
    bool bKilled = false;
    if (!mirel_ui::WithOwnerQueue(hWnd, [&](mirel_ui::CThreadQueue& queue) {
            bKilled = queue.KillTimer(hWnd, uIDEvent);
        })) {
        return FALSE;
    }
    if (!bKilled) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
