#include "platform/posix/timer_heap.h"

#include <algorithm>

#include "platform/posix/tick_count.h"

namespace mirel_ui {

uint32_t CTimerHeap::FindEntry(HWND hWnd, UINT_PTR nID, uint32_t nHash) const {
    return m_index.Find(nHash, [this, hWnd, nID](uint32_t nEntry) {
        return m_pool[nEntry].hWnd == hWnd && m_pool[nEntry].nID == nID;
    });
}

void CTimerHeap::Place(size_t nIndex, const Slot& slot) {
    m_heap[nIndex] = slot;
    m_places[slot.nEntry] = static_cast<uint32_t>(nIndex);
}

void CTimerHeap::SiftUp(size_t nIndex) {
    const Slot slot = m_heap[nIndex];
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
    const Slot slot = m_heap[nIndex];
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
    const Slot last = m_heap.back();
    m_heap.pop_back();
    if (nIndex < m_heap.size()) {
        Place(nIndex, last);
        Restore(nIndex);
    }
}

void CTimerHeap::FreeEntry(uint32_t nEntry) {
    const PosixTimerEntry& timer = m_pool[nEntry];
    DropProcUse(ProcOfEntry(nEntry));
    m_index.Erase(CTimerIndex::Hash(timer.hWnd, timer.nID), nEntry);
    m_freeEntries.push_back(nEntry);
}

// Room for the entry's procedure; the array is made only once some timer has a procedure.
void CTimerHeap::ReserveProc(uint32_t nEntry, TIMERPROC pfnProc) {
    if (pfnProc != nullptr && nEntry >= m_procs.size()) {
        m_procs.resize(std::max(m_pool.capacity(), size_t{nEntry} + 1), nullptr);
    }
}

void CTimerHeap::SetProc(uint32_t nEntry, TIMERPROC pfnProc) {
    if (nEntry < m_procs.size()) {
        m_procs[nEntry] = pfnProc;
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

// Grows a vector ahead of a push_back, as push_back itself would, so that the push cannot fail.
template <class T>
void ReserveOneMore(std::vector<T>& items) {
    if (items.size() == items.capacity()) {
        items.reserve(std::max<size_t>(16, items.capacity() * 2));
    }
}

void CTimerHeap::Set(HWND hWnd, UINT_PTR nID, TIMERPROC pfnProc, UINT uElapse, int64_t nNow) {
    const uint32_t nHash = CTimerIndex::Hash(hWnd, nID);
    uint32_t nEntry = FindEntry(hWnd, nID, nHash);
    const bool bInserted = nEntry == CTimerIndex::kNone;
    // Everything that allocates comes first, so that running out of memory leaves the timers as
    // they were. The free list has room for every entry of the pool, so a kill never allocates.
    if (bInserted) {
        if (m_freeEntries.empty()) {
            ReserveOneMore(m_pool);
            ReserveOneMore(m_places);
            m_freeEntries.reserve(m_pool.capacity());
            nEntry = static_cast<uint32_t>(m_pool.size());
        } else {
            nEntry = m_freeEntries.back();
        }
        ReserveOneMore(m_heap);
        m_index.ReserveOneMore();
    }
    ReserveProc(nEntry, pfnProc);
    AddProcUse(pfnProc);

    if (bInserted) {
        if (m_freeEntries.empty()) {
            m_pool.emplace_back();
            m_places.push_back(0);
        } else {
            m_freeEntries.pop_back();
        }
        m_index.Add(nHash, nEntry);
    } else {
        DropProcUse(ProcOfEntry(nEntry));
    }
    m_pool[nEntry] = PosixTimerEntry{hWnd, nID};
    SetProc(nEntry, pfnProc);
    const Slot slot{nNow + uElapse * kNanosecondsPerMillisecond, nEntry, uElapse};
    if (bInserted) {
        m_heap.push_back(slot);
        SiftUp(m_heap.size() - 1);
    } else {
        // A replaced timer starts its countdown again, so any pending tick of it is gone too.
        const uint32_t nPlace = PlaceOfEntry(nEntry);
        m_heap[nPlace] = slot;
        Restore(nPlace);
    }
}

bool CTimerHeap::Kill(HWND hWnd, UINT_PTR nID) {
    const uint32_t nEntry = FindEntry(hWnd, nID, CTimerIndex::Hash(hWnd, nID));
    if (nEntry == CTimerIndex::kNone) {
        return false;
    }
    RemoveFromHeap(PlaceOfEntry(nEntry));
    FreeEntry(nEntry);
    return true;
}

bool CTimerHeap::Contains(HWND hWnd, UINT_PTR nID) const {
    return FindEntry(hWnd, nID, CTimerIndex::Hash(hWnd, nID)) != CTimerIndex::kNone;
}

void CTimerHeap::KillWindow(HWND hWnd) {
    auto itKeep = std::partition(m_heap.begin(), m_heap.end(), [this, hWnd](const Slot& slot) {
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

PosixTimerEntry* CTimerHeap::Earliest(const MessageFilter& filter) {
    if (m_heap.empty()) {
        return nullptr;
    }
    PosixTimerEntry* pFirst = &m_pool[m_heap.front().nEntry];
    if (filter.AcceptsAnyWindow() || filter.AcceptsWindow(pFirst->hWnd)) {
        return pFirst;
    }
    const Slot* pEarliest = nullptr;
    for (const Slot& slot : m_heap) {
        if (filter.AcceptsWindow(m_pool[slot.nEntry].hWnd) &&
            (pEarliest == nullptr || slot.nDue < pEarliest->nDue)) {
            pEarliest = &slot;
        }
    }
    return pEarliest == nullptr ? nullptr : &m_pool[pEarliest->nEntry];
}

void CTimerHeap::Advance(PosixTimerEntry* pTimer, int64_t nNow) {
    const size_t nPlace = PlaceOf(pTimer);
    Slot& slot = m_heap[nPlace];
    const int64_t nElapse = slot.uElapse * kNanosecondsPerMillisecond;
    int64_t nNext = slot.nDue + nElapse;
    if (nNext <= nNow) {
        nNext += ((nNow - nNext) / nElapse + 1) * nElapse;
    }
    slot.nDue = nNext;
    SiftDown(nPlace);
}

bool CTimerHeap::UsesProc(TIMERPROC pfnProc) const {
    return m_procUses.find(pfnProc) != m_procUses.end();
}

}  // namespace mirel_ui
