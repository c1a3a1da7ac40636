// CTimerTable: which owner started which timer, with the user value and handler of each. Every
// operation on one timer costs O(1) whatever the number of timers and owners: the records sit in
// one array and are found by timer ID through a hash index (platform/hash_index.h), and each
// owner's records are chained in ascending ID order. The owners sit in one dense array, found by
// address through an index of their own, and are put in ascending address order only when the table
// is cleared. Not thread-safe: the timer manager guards it with its lock.
#ifndef MIREL_TIMER_TIMER_TABLE_H
#define MIREL_TIMER_TIMER_TABLE_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <vector>

#include "mirel/timer.h"
#include "platform/hash_index.h"

struct TimerEntry {
    int32_t nUserValue;       // handed back on every expiry, never interpreted
    ITimerHandler* pHandler;  // may be null; not owned
};

// Owners compare as unsigned addresses, so they are visited in ascending address order.
struct OwnerLess {
    bool operator()(const ITimer* a, const ITimer* b) const {
        return reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b);
    }
};

// The table as a reader thinks of it: owner → timer ID → entry, both in ascending order.
using TimerTableView = std::map<ITimer*, std::map<uint32_t, TimerEntry>, OwnerLess>;

class CTimerTable {
public:
    CTimerTable();

    // Owners. An owner entry lives from the first timer recorded for it to EraseOwner, also while
    // it holds no timer.
    bool HasOwner(ITimer* pOwner) const;
    bool HasAnyOwner() const { return !m_owners.empty(); }
    // Visits the owner's timer IDs in ascending order. The visitor must not change the table.
    template <class TVisitor>
    void ForEachTimerOf(ITimer* pOwner, TVisitor visit) const;
    // Forgets the owner and all its timers.
    void EraseOwner(ITimer* pOwner);
    // Visits every owner in ascending address order, each with its timer IDs in ascending order,
    // then empties the table. The visitor must not use the table at all: it is being taken apart.
    template <class TVisitor>
    void Clear(TVisitor visit);

    // Records a timer of the owner (adding the owner entry when it has none); an ID already
    // recorded has its entry overwritten and moves to this owner. Throws std::bad_alloc, and then
    // leaves the table as it was.
    void Insert(ITimer* pOwner, uint32_t nTimerId, const TimerEntry& entry);
    // Whether the owner (with a null owner: anybody) holds a timer of that ID; its entry is copied
    // to *pEntry when pEntry is not null.
    // The holder of the ID goes to *ppHolder when that is not null.
    bool Find(ITimer* pOwner, uint32_t nTimerId, TimerEntry* pEntry,
              ITimer** ppHolder = nullptr) const;
    // Forgets one timer of the owner; false when the owner holds no timer of that ID. The owner
    // entry stays, even when this was its last timer.
    bool Erase(ITimer* pOwner, uint32_t nTimerId);
    // Tells the table that this ID is about to be inserted or looked up, so that the memory that
    // touches is on its way meanwhile. Only a hint: it changes nothing.
    void Prefetch(uint32_t nTimerId) const { m_index.Prefetch(HashOfId(nTimerId)); }
    bool Contains(uint32_t nTimerId) const {
        return FindSlot(nTimerId) != THashIndex<IdSlot>::kNotFound;
    }

    size_t TimerCount() const { return m_index.Count(); }
    // Bytes the table holds per live timer, its spare capacity included.
    size_t BytesHeld() const;
    TimerTableView View() const;

private:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    struct TimerRecord {
        uint32_t nTimerId;  // 0 while the record is free
        uint32_t nNext;     // the owner's next record by ID; while free, the next free record
        uint32_t nPrev;     // the owner's previous record by ID
        int32_t nUserValue;
        ITimerHandler* pHandler;
        ITimer* pOwner;
    };
    struct OwnerTimers {
        ITimer* pOwner;
        uint32_t nFirst;  // the owner's records, ascending by ID
        uint32_t nLast;
    };
    struct IdSlot {
        uint32_t nTimerId;  // 0 marks a free slot; IDs are never 0
        uint32_t nRecord;
        bool IsFree() const { return nTimerId == 0; }
        static IdSlot Free() { return IdSlot{0, 0}; }
    };
    struct OwnerSlot {
        uint32_t nOwner;  // the place in m_owners
        bool IsFree() const { return nOwner == kNone; }
        static OwnerSlot Free() { return OwnerSlot{kNone}; }
    };

    // The index's slot of the ID, or kNotFound.
    size_t FindSlot(uint32_t nTimerId) const;
    uint32_t FindOwner(ITimer* pOwner) const;  // its place in m_owners, or kNone
    size_t FindOwnerSlot(ITimer* pOwner) const;
    uint32_t AddOwner(ITimer* pOwner);
    void SortOwners();
    void Reset();
    void Unlink(OwnerTimers& owner, uint32_t nRecord);
    void LinkInOrder(OwnerTimers& owner, uint32_t nRecord);
    void FreeRecord(uint32_t nRecord);
    static uint32_t HashOfIdSlot(const IdSlot& slot) { return HashOfId(slot.nTimerId); }
    uint32_t HashOfOwnerSlot(const OwnerSlot& slot) const {
        return HashOfAddress(m_owners[slot.nOwner].pOwner);
    }

    std::vector<TimerRecord> m_records;
    uint32_t m_nFreeRecord;
    // Timer ID to record (hash_index.h); its count is the number of timers.
    THashIndex<IdSlot> m_index;
    // Every owner once, in no particular order: an erased owner's place is filled by the last
    // one. With its index slots an owner takes 24 to 48 bytes, where a tree node takes 64.
    std::vector<OwnerTimers> m_owners;
    // Owner address to place in m_owners.
    THashIndex<OwnerSlot> m_ownerIndex;
    // The place of the owner of the last operation, as a client usually works on one component
    // for a while; checked against the owner it is used for, so it never goes stale.
    mutable uint32_t m_nCachedOwner;
};

template <class TVisitor>
void CTimerTable::ForEachTimerOf(ITimer* pOwner, TVisitor visit) const {
    const uint32_t nOwner = FindOwner(pOwner);
    for (uint32_t n = nOwner != kNone ? m_owners[nOwner].nFirst : kNone; n != kNone;
         n = m_records[n].nNext) {
        visit(m_records[n].nTimerId);
    }
}

template <class TVisitor>
void CTimerTable::Clear(TVisitor visit) {
    SortOwners();
    for (const OwnerTimers& owner : m_owners) {
        for (uint32_t n = owner.nFirst; n != kNone; n = m_records[n].nNext) {
            visit(m_records[n].nTimerId);
        }
    }
    Reset();
}

#endif  // MIREL_TIMER_TIMER_TABLE_H
