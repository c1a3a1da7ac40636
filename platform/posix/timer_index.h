// CTimerIndex: the look-up from a timer's window and ID to its place in the timer heap's pool.
// Used by CTimerHeap only, under its queue's mutex.
#ifndef MIREL_PLATFORM_POSIX_TIMER_INDEX_H
#define MIREL_PLATFORM_POSIX_TIMER_INDEX_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/windows_api.h"

// The library exports the Windows calls only; its own plumbing stays inside it.
#pragma GCC visibility push(hidden)

namespace mirel_ui {

// Window and ID to pool entry, as one open-addressed table (linear probing, at most half full).
// SetTimer and KillTimer spend most of their time in this look-up when many timers are set; here
// it touches one or two cache lines where a node-based map chases several pointers.
//
// A slot holds the pool entry and 32 bits of the key's hash rather than the key itself: eight
// bytes a slot, where the key alone would take sixteen, and twice as many slots as timers. The hash
// tells a key from nearly every other key of its run, so a look-up reads the pool for the entry
// it returns and almost never for another. The home slot is the top bits of the same hash, so
// that erasing and growing never read the pool at all.
class CTimerIndex {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    static uint32_t Hash(HWND hWnd, UINT_PTR nID);

    // The entry stored under this hash for which isKey(entry) holds, or kNone. isKey compares the
    // pool entry's key with the one looked for.
    template <class TIsKey>
    uint32_t Find(uint32_t nHash, TIsKey isKey) const;
    // Makes room for one more entry, so that the next Add cannot run out of memory. Throws
    // std::bad_alloc, and then leaves the index as it was.
    void ReserveOneMore();
    // Adds the entry of a key that is not in the table yet.
    void Add(uint32_t nHash, uint32_t nEntry);
    // Removes an entry that was added under this hash.
    void Erase(uint32_t nHash, uint32_t nEntry);

private:
    struct Slot {
        uint32_t nEntry;  // kNone: the slot is free
        uint32_t nHash;
    };

    size_t Home(uint32_t nHash) const { return nHash >> m_nShift; }
    void Grow();

    std::vector<Slot> m_slots;  // a power of two in size, at most 2^32, or empty
    // Invariant (checked in debug builds): at most half the slots are used, so that every run
    // ends soon at a free slot.
    size_t m_nCount = 0;
    unsigned m_nShift = 32;  // 32 minus log2 of the size
};

template <class TIsKey>
uint32_t CTimerIndex::Find(uint32_t nHash, TIsKey isKey) const {
    if (m_slots.empty()) {
        return kNone;
    }
    const size_t nMask = m_slots.size() - 1;
    for (size_t n = Home(nHash); m_slots[n].nEntry != kNone; n = (n + 1) & nMask) {
        if (m_slots[n].nHash == nHash && isKey(m_slots[n].nEntry)) {
            return m_slots[n].nEntry;
        }
    }
    return kNone;
}

}  // namespace mirel_ui

#pragma GCC visibility pop

#endif  // MIREL_PLATFORM_POSIX_TIMER_INDEX_H
