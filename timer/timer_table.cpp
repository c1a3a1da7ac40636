#include "timer/timer_table.h"

#include <algorithm>

#include "platform/debug_check.h"

CTimerTable::CTimerTable() : m_nFreeRecord(kNone), m_nCachedOwner(kNone) {}

size_t CTimerTable::FindSlot(uint32_t nTimerId) const {
    if (nTimerId == 0) {
        return THashIndex<IdSlot>::kNotFound;
    }
    return m_index.Find(HashOfId(nTimerId),
                        [nTimerId](const IdSlot& slot) { return slot.nTimerId == nTimerId; });
}

size_t CTimerTable::FindOwnerSlot(ITimer* pOwner) const {
    return m_ownerIndex.Find(HashOfAddress(pOwner), [this, pOwner](const OwnerSlot& slot) {
        return m_owners[slot.nOwner].pOwner == pOwner;
    });
}

uint32_t CTimerTable::FindOwner(ITimer* pOwner) const {
    if (m_nCachedOwner < m_owners.size() && m_owners[m_nCachedOwner].pOwner == pOwner) {
        return m_nCachedOwner;
    }
    const size_t nSlot = FindOwnerSlot(pOwner);
    if (nSlot == THashIndex<OwnerSlot>::kNotFound) {
        return kNone;
    }
    m_nCachedOwner = m_ownerIndex[nSlot].nOwner;
    return m_nCachedOwner;
}

bool CTimerTable::HasOwner(ITimer* pOwner) const {
    return FindOwner(pOwner) != kNone;
}

uint32_t CTimerTable::AddOwner(ITimer* pOwner) {
    // Both may throw, and nothing has changed when they do.
    m_ownerIndex.ReserveOneMore([this](const OwnerSlot& slot) { return HashOfOwnerSlot(slot); });
    m_owners.push_back(OwnerTimers{pOwner, kNone, kNone});
    const uint32_t nOwner = static_cast<uint32_t>(m_owners.size() - 1);
    m_ownerIndex.Fill(
        m_ownerIndex.FindOrFree(HashOfAddress(pOwner), [](const OwnerSlot&) { return false; }),
        OwnerSlot{nOwner});
    m_nCachedOwner = nOwner;
    return nOwner;
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
    m_index.Clear();
    m_owners.clear();
    m_ownerIndex.Clear();
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
    m_index.ReserveOneMore(HashOfIdSlot);
    if (m_nFreeRecord == kNone) {
        m_records.push_back(TimerRecord{0, kNone, kNone, 0, nullptr, nullptr});
        FreeRecord(static_cast<uint32_t>(m_records.size() - 1));
    }
    uint32_t nOwner = FindOwner(pOwner);
    if (nOwner == kNone) {
        nOwner = AddOwner(pOwner);
    }

    // One walk finds the ID, or the free slot that ends its run and so takes it.
    const size_t n = m_index.FindOrFree(
        HashOfId(nTimerId), [nTimerId](const IdSlot& slot) { return slot.nTimerId == nTimerId; });
    if (!m_index[n].IsFree()) {
        // Only reachable after the counter has wrapped onto an ID still recorded.
        const uint32_t nRecord = m_index[n].nRecord;
        TimerRecord& record = m_records[nRecord];
        if (record.pOwner != pOwner) {
            Unlink(m_owners[FindOwner(record.pOwner)], nRecord);
            record.pOwner = pOwner;
            LinkInOrder(m_owners[nOwner], nRecord);
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
    m_index.Fill(n, IdSlot{nTimerId, nRecord});
}

bool CTimerTable::Find(ITimer* pOwner, uint32_t nTimerId, TimerEntry* pEntry,
                       ITimer** ppHolder) const {
    const size_t nSlot = FindSlot(nTimerId);
    if (nSlot == THashIndex<IdSlot>::kNotFound) {
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
    if (nSlot == THashIndex<IdSlot>::kNotFound) {
        return false;
    }
    const uint32_t nRecord = m_index[nSlot].nRecord;
    if (m_records[nRecord].pOwner != pOwner) {
        return false;
    }
    Unlink(m_owners[FindOwner(pOwner)], nRecord);
    FreeRecord(nRecord);
    m_index.Erase(nSlot, HashOfIdSlot);
    return true;
}

void CTimerTable::EraseOwner(ITimer* pOwner) {
    const size_t nSlot = FindOwnerSlot(pOwner);
    if (nSlot == THashIndex<OwnerSlot>::kNotFound) {
        return;
    }
    const uint32_t nOwner = m_ownerIndex[nSlot].nOwner;
    for (uint32_t n = m_owners[nOwner].nFirst; n != kNone;) {
        const uint32_t nNext = m_records[n].nNext;
        m_index.Erase(FindSlot(m_records[n].nTimerId), HashOfIdSlot);
        FreeRecord(n);
        n = nNext;
    }
    const auto hashOfOwner = [this](const OwnerSlot& slot) { return HashOfOwnerSlot(slot); };
    m_ownerIndex.Erase(nSlot, hashOfOwner);
    const uint32_t nLast = static_cast<uint32_t>(m_owners.size() - 1);
    if (nOwner != nLast) {
        m_ownerIndex[FindOwnerSlot(m_owners[nLast].pOwner)].nOwner = nOwner;
        m_owners[nOwner] = m_owners[nLast];
    }
    m_owners.pop_back();
}

size_t CTimerTable::BytesHeld() const {
    return m_records.capacity() * sizeof(TimerRecord) + m_index.BytesHeld() +
           m_owners.capacity() * sizeof(OwnerTimers) + m_ownerIndex.BytesHeld();
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
