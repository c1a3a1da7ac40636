#include "timer/timer_table.h"

#include "platform/debug_check.h"

namespace {

constexpr uint32_t kInitialIndexBits = 4;

}  // namespace

CTimerTable::CTimerTable()
    : m_nFreeRecord(kNone),
      m_index(size_t{1} << kInitialIndexBits, IndexSlot{0, 0}),
      m_nIndexShift(32 - kInitialIndexBits),
      m_nTimers(0),
      m_pCachedOwner(nullptr),
      m_pCachedTimers(nullptr) {}

size_t CTimerTable::HomeSlot(uint32_t nTimerId) const {
    // Fibonacci hashing: consecutive IDs, the usual case, spread over the whole array.
    return static_cast<size_t>((nTimerId * 2654435769u) >> m_nIndexShift);
}

size_t CTimerTable::FindSlot(uint32_t nTimerId) const {
    if (nTimerId == 0) {
        return kNoSlot;
    }
    const size_t nMask = m_index.size() - 1;
    for (size_t n = HomeSlot(nTimerId);; n = (n + 1) & nMask) {
        if (m_index[n].nTimerId == nTimerId) {
            return n;
        }
        if (m_index[n].nTimerId == 0) {
            return kNoSlot;
        }
    }
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

CTimerTable::OwnerTimers* CTimerTable::FindOwner(ITimer* pOwner) const {
    if (pOwner == m_pCachedOwner && m_pCachedTimers != nullptr) {
        return m_pCachedTimers;
    }
    auto it = m_owners.find(pOwner);
    if (it == m_owners.end()) {
        return nullptr;
    }
    m_pCachedOwner = pOwner;
    m_pCachedTimers = const_cast<OwnerTimers*>(&it->second);
    return m_pCachedTimers;
}

bool CTimerTable::HasOwner(ITimer* pOwner) const {
    return FindOwner(pOwner) != nullptr;
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
    const size_t nExisting = FindSlot(nTimerId);
    if (nExisting != kNoSlot) {
        // Only reachable after the counter has wrapped onto an ID still recorded.
        TimerRecord& record = m_records[m_index[nExisting].nRecord];
        if (record.pOwner != pOwner) {
            OwnerTimers* pNewOwner = FindOwner(pOwner);
            if (pNewOwner == nullptr) {
                pNewOwner = &m_owners[pOwner];  // may throw: nothing changed yet
                m_pCachedOwner = nullptr;
            }
            Unlink(*FindOwner(record.pOwner), m_index[nExisting].nRecord);
            record.pOwner = pOwner;
            LinkInOrder(*pNewOwner, m_index[nExisting].nRecord);
        }
        record.nUserValue = entry.nUserValue;
        record.pHandler = entry.pHandler;
        return;
    }

    // Everything that may throw comes first, so that a failure leaves the table as it was.
    GrowIndexIfNeeded();
    if (m_nFreeRecord == kNone) {
        m_records.push_back(TimerRecord{0, kNone, kNone, 0, nullptr, nullptr});
        FreeRecord(static_cast<uint32_t>(m_records.size() - 1));
    }
    OwnerTimers* pTimers = FindOwner(pOwner);
    if (pTimers == nullptr) {
        pTimers = &m_owners[pOwner];
        m_pCachedOwner = pOwner;
        m_pCachedTimers = pTimers;
    }

    const uint32_t nRecord = m_nFreeRecord;
    m_nFreeRecord = m_records[nRecord].nNext;
    m_records[nRecord] =
        TimerRecord{nTimerId, kNone, kNone, entry.nUserValue, entry.pHandler, pOwner};
    LinkInOrder(*pTimers, nRecord);
    const size_t nMask = m_index.size() - 1;
    size_t n = HomeSlot(nTimerId);
    while (m_index[n].nTimerId != 0) {
        n = (n + 1) & nMask;
    }
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
    Unlink(*FindOwner(pOwner), nRecord);
    FreeRecord(nRecord);
    RemoveSlot(nSlot);
    --m_nTimers;
    return true;
}

void CTimerTable::EraseOwner(ITimer* pOwner) {
    auto it = m_owners.find(pOwner);
    if (it == m_owners.end()) {
        return;
    }
    for (uint32_t n = it->second.nFirst; n != kNone;) {
        const uint32_t nNext = m_records[n].nNext;
        RemoveSlot(FindSlot(m_records[n].nTimerId));
        FreeRecord(n);
        --m_nTimers;
        n = nNext;
    }
    m_owners.erase(it);
    m_pCachedOwner = nullptr;
    m_pCachedTimers = nullptr;
}

size_t CTimerTable::BytesHeld() const {
    return m_records.capacity() * sizeof(TimerRecord) + m_index.capacity() * sizeof(IndexSlot) +
           m_owners.size() * (sizeof(OwnerTimers) + 4 * sizeof(void*) + sizeof(ITimer*));
}

TimerTableView CTimerTable::View() const {
    TimerTableView view;
    for (const auto& owner : m_owners) {
        std::map<uint32_t, TimerEntry>& timers = view[owner.first];
        for (uint32_t n = owner.second.nFirst; n != kNone; n = m_records[n].nNext) {
            timers[m_records[n].nTimerId] =
                TimerEntry{m_records[n].nUserValue, m_records[n].pHandler};
        }
    }
    return view;
}
