#include "platform/posix/timer_index.h"

namespace mirel_ui {

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
    m_slots[SlotOf(hWnd, nID)] = Slot{hWnd, nID, nEntry};
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
    std::vector<Slot> old;
    old.swap(m_slots);
    const size_t nSize = old.empty() ? 16 : old.size() * 2;
    m_slots.assign(nSize, Slot{nullptr, 0, kNone});
    m_nShift = 64;
    for (size_t n = nSize; n > 1; n >>= 1) {
        --m_nShift;
    }
    for (const Slot& slot : old) {
        if (slot.nEntry != kNone) {
            m_slots[SlotOf(slot.hWnd, slot.nID)] = slot;
        }
    }
}

}  // namespace mirel_ui
