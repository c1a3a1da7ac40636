#include "timer/timer_table.h"

#include <algorithm>

#include "platform/debug_check.h"

namespace {

constexpr uint32_t kInitialIndexBits = 4;
constexpr uint64_t kGoldenRatio64 = 0x9E3779B97F4A7C15ULL;

}  // namespace

CTimerTable::CTimerTable()
    : m_nFreeRecord(kNone),
      m_index(size_t{1} << kInitialIndexBits, IndexSlot{0, 0}),
      m_nIndexShift(32 - kInitialIndexBits),
      m_nTimers(0),
      m_ownerIndex(size_t{1} << kInitialIndexBits, kNone),
      m_nOwnerIndexShift(64 - kInitialIndexBits),
      m_nCachedOwner(kNone) {}

size_t CTimerTable::HomeSlot(uint32_t nTimerId) const {
    // IDs are handed out in sequence, so runs of eight consecutive IDs share one cache line of the
    // index (the timer just started is stopped through the line it was started through), while the
    // runs themselves are spread over the whole array by Fibonacci hashing, so that long-lived
    // timers never form one dense block that newer IDs would have to probe through.
    const uint32_t nRun = (nTimerId >> 3) * 2654435769u;
    return (static_cast<size_t>(nRun >> (m_nIndexShift + 3)) << 3) | (nTimerId & 7u);
}

size_t CTimerTable::ProbeSlot(uint32_t nTimerId) const {
    const size_t nMask = m_index.size() - 1;
    size_t n = HomeSlot(nTimerId);
    while (m_index[n].nTimerId != 0 && m_index[n].nTimerId != nTimerId) {
        n = (n + 1) & nMask;
    }
    return n;
}

size_t CTimerTable::FindSlot(uint32_t nTimerId) const {
    if (nTimerId == 0) {
        return kNoSlot;
    }
    const size_t n = ProbeSlot(nTimerId);
    return m_index[n].nTimerId == nTimerId ? n : kNoSlot;
}

void CTimerTable::GrowIndexIfNeeded() {
    if ((m_nTimers + 1) * 2 <= m_index.size()) {
        return;
    }
    std::vector<IndexSlot> grown(m_index.size() * 2,
                                 IndexSlot{0, 0});  // may throw: nothing changed
    std::swap(m_index, grown);
    --m_nIndexShift;
    const size_t nMask = m_index.size() - 1;
    for (const IndexSlot& slot : grown) {
        if (slot.nTimerId == 0) {
            continue;
        }
        size_t n = HomeSlot(slot.nTimerId);
        while (m_index[n].nTimerId != 0) {
            n = (n + 1) & nMask;
        }
        m_index[n] = slot;
    }
}

void CTimerTable::RemoveSlot(size_t nSlot) {
    // Backward-shift deletion: every later slot of the probe chain that may move into the hole
    // does, so that no look-up ever stops early at it.
    const size_t nMask = m_index.size() - 1;
    size_t nHole = nSlot;
    for (size_t n = (nSlot + 1) & nMask; m_index[n].nTimerId != 0; n = (n + 1) & nMask) {
        const size_t nHome = HomeSlot(m_index[n].nTimerId);
        // The entry at n may fill the hole unless its home lies cyclically in (nHole, n].
        const bool bHomeAfterHole = ((n - nHome) & nMask) < ((n - nHole) & nMask);
        if (!bHomeAfterHole) {
            m_index[nHole] = m_index[n];
            nHole = n;
        }
    }
    m_index[nHole] = IndexSlot{0, 0};
}

size_t CTimerTable::OwnerHome(ITimer* pOwner) const {
    // Fibonacci hashing spreads the addresses, which share their low bits by alignment.
    const uint64_t nAddress = reinterpret_cast<uintptr_t>(pOwner);
    return static_cast<size_t>((nAddress * kGoldenRatio64) >> m_nOwnerIndexShift);
}

size_t CTimerTable::OwnerSlot(ITimer* pOwner) const {
    const size_t nMask = m_ownerIndex.size() - 1;
    size_t n = OwnerHome(pOwner);
    while (m_ownerIndex[n] != kNone && m_owners[m_ownerIndex[n]].pOwner != pOwner) {
        n = (n + 1) & nMask;
    }
    return n;
}

uint32_t CTimerTable::FindOwner(ITimer* pOwner) const {
    if (m_nCachedOwner < m_owners.size() && m_owners[m_nCachedOwner].pOwner == pOwner) {
        return m_nCachedOwner;
    }
    const uint32_t nOwner = m_ownerIndex[OwnerSlot(pOwner)];
    if (nOwner != kNone) {
        m_nCachedOwner = nOwner;
    }
    return nOwner;
}

bool CTimerTable::HasOwner(ITimer* pOwner) const {
    return FindOwner(pOwner) != kNone;
}

uint32_t CTimerTable::AddOwner(ITimer* pOwner) {
    // Both may throw, and nothing has changed when they do.
    if ((m_owners.size() + 1) * 2 > m_ownerIndex.size()) {
        GrowOwnerIndex();
    }
    m_owners.push_back(OwnerTimers{pOwner, kNone, kNone});
    const uint32_t nOwner = static_cast<uint32_t>(m_owners.size() - 1);
    m_ownerIndex[OwnerSlot(pOwner)] = nOwner;
    MIREL_DCHECK(m_owners.size() * 2 <= m_ownerIndex.size());
    m_nCachedOwner = nOwner;
    return nOwner;
}

void CTimerTable::GrowOwnerIndex() {
    std::vector<uint32_t> grown(m_ownerIndex.size() * 2, kNone);  // may throw: nothing changed
    std::swap(m_ownerIndex, grown);
    --m_nOwnerIndexShift;
    for (uint32_t nOwner = 0; nOwner < m_owners.size(); ++nOwner) {
        m_ownerIndex[OwnerSlot(m_owners[nOwner].pOwner)] = nOwner;
    }
}

void CTimerTable::RemoveOwnerSlot(size_t nSlot) {
    // Backward-shift deletion, as in RemoveSlot.
    const size_t nMask = m_ownerIndex.size() - 1;
    size_t nHole = nSlot;
    for (size_t n = (nSlot + 1) & nMask; m_ownerIndex[n] != kNone; n = (n + 1) & nMask) {
        const size_t nHome = OwnerHome(m_owners[m_ownerIndex[n]].pOwner);
        const bool bHomeAfterHole = ((n - nHome) & nMask) < ((n - nHole) & nMask);
        if (!bHomeAfterHole) {
            m_ownerIndex[nHole] = m_ownerIndex[n];
            nHole = n;
        }
    }
    m_ownerIndex[nHole] = kNone;
}

// Only a clear needs the owners in address order, and the table is emptied right after, so the
// owners are sorted where they stand: no memory is needed while the module unloads.
void CTimerTable::SortOwners() {
    std::sort(m_owners.begin(), m_owners.end(), [](const OwnerTimers& a, const OwnerTimers& b) {
        return OwnerLess()(a.pOwner, b.pOwner);
    });
}

void CTimerTable::Reset() {
    m_records.clear();
    m_nFreeRecord = kNone;
    std::fill(m_index.begin(), m_index.end(), IndexSlot{0, 0});
    m_nTimers = 0;
    m_owners.clear();
    std::fill(m_ownerIndex.begin(), m_ownerIndex.end(), kNone);
}

void CTimerTable::Unlink(OwnerTimers& owner, uint32_t nRecord) {
    TimerRecord& record = m_records[nRecord];
    (record.nPrev != kNone ? m_records[record.nPrev].nNext : owner.nFirst) = record.nNext;
    (record.nNext != kNone ? m_records[record.nNext].nPrev : owner.nLast) = record.nPrev;
}

void CTimerTable::LinkInOrder(OwnerTimers& owner, uint32_t nRecord) {
    TimerRecord& record = m_records[nRecord];
    // IDs grow, so a new timer belongs at the end of its owner's chain; only after the counter
    // has wrapped does the walk back find an earlier place.
    uint32_t nAfter = owner.nLast;
    while (nAfter != kNone && m_records[nAfter].nTimerId > record.nTimerId) {
        nAfter = m_records[nAfter].nPrev;
    }
    record.nPrev = nAfter;
    record.nNext = nAfter != kNone ? m_records[nAfter].nNext : owner.nFirst;
    (record.nPrev != kNone ? m_records[record.nPrev].nNext : owner.nFirst) = nRecord;
    (record.nNext != kNone ? m_records[record.nNext].nPrev : owner.nLast) = nRecord;
}

void CTimerTable::FreeRecord(uint32_t nRecord) {
    m_records[nRecord].nTimerId = 0;
    m_records[nRecord].nNext = m_nFreeRecord;
    m_nFreeRecord = nRecord;
}

void CTimerTable::Insert(ITimer* pOwner, uint32_t nTimerId, const TimerEntry& entry) {
    // Everything that may throw comes first, so that a failure leaves the table as it was.
    GrowIndexIfNeeded();
    if (m_nFreeRecord == kNone) {
        m_records.push_back(TimerRecord{0, kNone, kNone, 0, nullptr, nullptr});
        FreeRecord(static_cast<uint32_t>(m_records.size() - 1));
    }
    uint32_t nOwner = FindOwner(pOwner);
    if (nOwner == kNone) {
        nOwner = AddOwner(pOwner);
    }

    // One walk finds the ID, or the free slot that ends its probe chain and so takes it.
    const size_t n = ProbeSlot(nTimerId);
    if (m_index[n].nTimerId == nTimerId) {
        // Only reachable after the counter has wrapped onto an ID still recorded.
        TimerRecord& record = m_records[m_index[n].nRecord];
        if (record.pOwner != pOwner) {
            Unlink(m_owners[FindOwner(record.pOwner)], m_index[n].nRecord);
            record.pOwner = pOwner;
            LinkInOrder(m_owners[nOwner], m_index[n].nRecord);
        }
        record.nUserValue = entry.nUserValue;
        record.pHandler = entry.pHandler;
        return;
    }

    const uint32_t nRecord = m_nFreeRecord;
    m_nFreeRecord = m_records[nRecord].nNext;
    m_records[nRecord] =
        TimerRecord{nTimerId, kNone, kNone, entry.nUserValue, entry.pHandler, pOwner};
    LinkInOrder(m_owners[nOwner], nRecord);
    m_index[n] = IndexSlot{nTimerId, nRecord};
    ++m_nTimers;
    MIREL_DCHECK(m_nTimers * 2 <= m_index.size());
}

bool CTimerTable::Find(ITimer* pOwner, uint32_t nTimerId, TimerEntry* pEntry,
                       ITimer** ppHolder) const {
    const size_t nSlot = FindSlot(nTimerId);
    if (nSlot == kNoSlot) {
        return false;
    }
    const TimerRecord& record = m_records[m_index[nSlot].nRecord];
    if (pOwner != nullptr && record.pOwner != pOwner) {
        return false;
    }
    if (pEntry != nullptr) {
        *pEntry = TimerEntry{record.nUserValue, record.pHandler};
    }
    if (ppHolder != nullptr) {
        *ppHolder = record.pOwner;
    }
    return true;
}

bool CTimerTable::Erase(ITimer* pOwner, uint32_t nTimerId) {
    const size_t nSlot = FindSlot(nTimerId);
    if (nSlot == kNoSlot) {
        return false;
    }
    const uint32_t nRecord = m_index[nSlot].nRecord;
    if (m_records[nRecord].pOwner != pOwner) {
        return false;
    }
    Unlink(m_owners[FindOwner(pOwner)], nRecord);
    FreeRecord(nRecord);
    RemoveSlot(nSlot);
    --m_nTimers;
    return true;
}

void CTimerTable::EraseOwner(ITimer* pOwner) {
    const size_t nSlot = OwnerSlot(pOwner);
    const uint32_t nOwner = m_ownerIndex[nSlot];
    if (nOwner == kNone) {
        return;
    }
    for (uint32_t n = m_owners[nOwner].nFirst; n != kNone;) {
        const uint32_t nNext = m_records[n].nNext;
        RemoveSlot(FindSlot(m_records[n].nTimerId));
        FreeRecord(n);
        --m_nTimers;
        n = nNext;
    }
    RemoveOwnerSlot(nSlot);
    const uint32_t nLast = static_cast<uint32_t>(m_owners.size() - 1);
    if (nOwner != nLast) {
        m_ownerIndex[OwnerSlot(m_owners[nLast].pOwner)] = nOwner;
        m_owners[nOwner] = m_owners[nLast];
    }
    m_owners.pop_back();
}

size_t CTimerTable::BytesHeld() const {
    return m_records.capacity() * sizeof(TimerRecord) + m_index.capacity() * sizeof(IndexSlot) +
           m_owners.capacity() * sizeof(OwnerTimers) + m_ownerIndex.capacity() * sizeof(uint32_t);
}

TimerTableView CTimerTable::View() const {
    TimerTableView view;
    for (const OwnerTimers& owner : m_owners) {
        std::map<uint32_t, TimerEntry>& timers = view[owner.pOwner];
        for (uint32_t n = owner.nFirst; n != kNone; n = m_records[n].nNext) {
            timers[m_records[n].nTimerId] =
                TimerEntry{m_records[n].nUserValue, m_records[n].pHandler};
        }
    }
    return view;
}
