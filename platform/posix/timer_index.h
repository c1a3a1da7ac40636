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
class CTimerIndex {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    // The pool entry of the timer, or kNone.
    uint32_t Find(HWND hWnd, UINT_PTR nID) const;
    // Adds a key that is not in the table yet.
    void Add(HWND hWnd, UINT_PTR nID, uint32_t nEntry);
    void Erase(HWND hWnd, UINT_PTR nID);

private:
    struct Slot {
        HWND hWnd;
        UINT_PTR nID;
        uint32_t nEntry;  // kNone: the slot is free
    };

    size_t Home(HWND hWnd, UINT_PTR nID) const;
    size_t SlotOf(HWND hWnd, UINT_PTR nID) const;  // the key's slot, or the free one ending its run
    void Grow();

    std::vector<Slot> m_slots;  // a power of two in size, or empty
    size_t m_nCount = 0;
    unsigned m_nShift = 64;  // 64 minus log2 of the size
};

}  // namespace mirel_ui

#pragma GCC visibility pop

#endif  // MIREL_PLATFORM_POSIX_TIMER_INDEX_H
