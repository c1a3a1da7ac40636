// CTimerIndex: the look-up from a timer's window and ID to its place in the timer heap's pool, a
// hash index (platform/hash_index.h). Used by CTimerHeap only, under its queue's mutex.
#ifndef MIREL_PLATFORM_POSIX_TIMER_INDEX_H
#define MIREL_PLATFORM_POSIX_TIMER_INDEX_H

#include <cstddef>
#include <cstdint>

#include "platform/hash_index.h"
#include "platform/windows_api.h"

// The library exports the Windows calls only; its own plumbing stays inside it.
#pragma GCC visibility push(hidden)

namespace mirel_ui {

// SetTimer and KillTimer spend most of their time in this look-up when many timers are set. A
// slot holds the pool entry and 32 bits of the key's hash rather than the key itself: eight bytes
// a slot, where the key alone would take sixteen, and twice as many slots as timers. The hash
// tells a key from nearly every other key of its run, so a look-up reads the pool for the entry
// it returns and almost never for another, and removal and growth never read the pool at all.
class CTimerIndex {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    static uint32_t Hash(HWND hWnd, UINT_PTR nID);

    // The entry stored under this hash for which isKey(entry) holds, or kNone. isKey compares the
    // pool entry's key with the one looked for.
    template <class TIsKey>
    uint32_t Find(uint32_t nHash, TIsKey isKey) const {
        const size_t nSlot = m_index.Find(nHash, [nHash, &isKey](const Slot& slot) {
            return slot.nHash == nHash && isKey(slot.nEntry);
        });
        return nSlot == THashIndex<Slot>::kNotFound ? kNone : m_index[nSlot].nEntry;
    }
    // Makes room for one more entry, so that the next Add cannot run out of memory. Throws
    // std::bad_alloc, and then leaves the index as it was.
    void ReserveOneMore() { m_index.ReserveOneMore(HashOf); }
    // Adds the entry of a key that is not in the table yet.
    void Add(uint32_t nHash, uint32_t nEntry) {
        ReserveOneMore();
        m_index.Fill(m_index.FindOrFree(nHash, [](const Slot&) { return false; }),
                     Slot{nEntry, nHash});
    }
    // Removes an entry that was added under this hash.
    void Erase(uint32_t nHash, uint32_t nEntry) {
        const size_t nSlot =
            m_index.Find(nHash, [nEntry](const Slot& slot) { return slot.nEntry == nEntry; });
        MIREL_DCHECK(nSlot != THashIndex<Slot>::kNotFound);  // only an entry of the table
        if (nSlot != THashIndex<Slot>::kNotFound) {
            m_index.Erase(nSlot, HashOf);
        }
    }

private:
    struct Slot {
        uint32_t nEntry;  // kNone: the slot is free
        uint32_t nHash;
        bool IsFree() const { return nEntry == kNone; }
        static Slot Free() { return Slot{kNone, 0}; }
    };
    static uint32_t HashOf(const Slot& slot) { return slot.nHash; }

    THashIndex<Slot> m_index;
};

}  // namespace mirel_ui

#pragma GCC visibility pop

#endif  // MIREL_PLATFORM_POSIX_TIMER_INDEX_H
