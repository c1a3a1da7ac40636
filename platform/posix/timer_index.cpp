#include "platform/posix/timer_index.h"

#include "platform/debug_check.h"

namespace mirel_ui {

namespace {

constexpr uint64_t kGoldenRatio = 0x9E3779B97F4A7C15ULL;
constexpr size_t kFirstSize = 16;

}  // namespace

uint32_t CTimerIndex::Hash(HWND hWnd, UINT_PTR nID) {
    // Fibonacci hashing: the multiplication spreads consecutive IDs over the whole table, and the
    // top bits of the product are the best mixed ones. (Consecutive slots for consecutive IDs
    // would save a cache miss, but the IDs of a long-lived timer and of a new one then meet in
    // one long run that every new timer walks through.) The window is mixed in first, so that
    // the same IDs on two windows land apart.
    const uint64_t nWindow =
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hWnd)) * kGoldenRatio;
    return static_cast<uint32_t>(((nWindow ^ static_cast<uint64_t>(nID)) * kGoldenRatio) >> 32);
}

void CTimerIndex::ReserveOneMore() {
    if ((m_nCount + 1) * 2 > m_slots.size()) {
        Grow();
    }
}

void CTimerIndex::Add(uint32_t nHash, uint32_t nEntry) {
    ReserveOneMore();
    const size_t nMask = m_slots.size() - 1;
    size_t nSlot = Home(nHash);
    while (m_slots[nSlot].nEntry != kNone) {
        nSlot = (nSlot + 1) & nMask;
    }
    m_slots[nSlot] = Slot{nEntry, nHash};
    ++m_nCount;
    MIREL_DCHECK(m_nCount * 2 <= m_slots.size());
}

void CTimerIndex::Erase(uint32_t nHash, uint32_t nEntry) {
    if (m_slots.empty()) {
        return;
    }
    const size_t nMask = m_slots.size() - 1;
    size_t nHole = Home(nHash);
    while (m_slots[nHole].nEntry != nEntry && m_slots[nHole].nEntry != kNone) {
        nHole = (nHole + 1) & nMask;
    }
    MIREL_DCHECK(m_slots[nHole].nEntry == nEntry);  // only an entry of the table is erased
    if (m_slots[nHole].nEntry != nEntry) {
        return;
    }
    // Later members of the run move back into the hole when their home lies at or before it, so
    // that every entry stays reachable from its home without markers for erased slots.
    for (size_t nNext = (nHole + 1) & nMask; m_slots[nNext].nEntry != kNone;
         nNext = (nNext + 1) & nMask) {
        const size_t nHome = Home(m_slots[nNext].nHash);
        if (((nNext - nHome) & nMask) >= ((nNext - nHole) & nMask)) {
            m_slots[nHole] = m_slots[nNext];
            nHole = nNext;
        }
    }
    m_slots[nHole].nEntry = kNone;
    --m_nCount;
}

// The larger array is filled before it replaces the old one, so that running out of memory
// leaves the index as it was.
void CTimerIndex::Grow() {
    const size_t nSize = m_slots.empty() ? kFirstSize : m_slots.size() * 2;
    MIREL_DCHECK(nSize <= (size_t{1} << 32));  // the home is a 32-bit hash's top bits
    std::vector<Slot> slots(nSize, Slot{kNone, 0});
    unsigned nShift = 32;
    for (size_t n = nSize; n > 1; n >>= 1) {
        --nShift;
    }
    const size_t nMask = nSize - 1;
    for (const Slot& slot : m_slots) {
        if (slot.nEntry != kNone) {
            size_t nSlot = slot.nHash >> nShift;
            while (slots[nSlot].nEntry != kNone) {
                nSlot = (nSlot + 1) & nMask;
            }
            slots[nSlot] = slot;
        }
    }
    m_slots.swap(slots);
    m_nShift = nShift;
}

}  // namespace mirel_ui
