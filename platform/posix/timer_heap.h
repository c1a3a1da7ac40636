// CTimerHeap: the timers of one thread's queue, ordered by due time. Used by CThreadQueue only,
// under its mutex.
#ifndef MIREL_PLATFORM_POSIX_TIMER_HEAP_H
#define MIREL_PLATFORM_POSIX_TIMER_HEAP_H

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "platform/posix/message_filter.h"
#include "platform/debug_check.h"
#include "platform/posix/timer_index.h"
#include "platform/windows_api.h"

// The library exports the Windows calls only; its own plumbing stays inside it.
#pragma GCC visibility push(hidden)

namespace mirel_ui {

// One timer of a thread's queue, as the heap's pool keeps it: its key. Its period sits in its
// heap slot, and its procedure, which most timers lack, in an array of its own.
struct PosixTimerEntry {
    HWND hWnd;  // null for a thread timer
    UINT_PTR nID;
};

// The timers of one queue: a map from (window, ID) to the timer and a 4-ary min-heap over the
// due times in which every timer knows its place, so that setting, re-arming and killing a
// timer cost O(log n) and the earliest timer is found in O(1). The heap holds the due times
// itself and the timers sit in one dense pool, so that ordering the heap reads contiguous
// memory rather than chasing every timer. A timer whose due time has come is a pending
// WM_TIMER; delivering it moves the due time on, so at most one is ever pending. Not locked:
// its queue's mutex guards it. A PosixTimerEntry pointer stays valid until the next Set or Kill.
class CTimerHeap {
public:
    // Sets a new timer or replaces the one with that window and ID; its countdown of uElapse
    // milliseconds starts at now. Throws std::bad_alloc, and then leaves the timers as they were;
    // the other operations never allocate.
    void Set(HWND hWnd, UINT_PTR nID, TIMERPROC pfnProc, UINT uElapse, int64_t nNow);
    bool Kill(HWND hWnd, UINT_PTR nID);
    bool Contains(HWND hWnd, UINT_PTR nID) const;
    // Drops every timer of a window that is being destroyed. O(n), as destruction is rare.
    void KillWindow(HWND hWnd);

    // The timer with the earliest due time among those the filter accepts, or null. O(1) when
    // the filter takes every window, else a walk over all timers.
    PosixTimerEntry* Earliest(const MessageFilter& filter);
    // MonotonicNanoseconds() at which the timer's next WM_TIMER becomes pending.
    int64_t DueTime(const PosixTimerEntry* pTimer) const { return m_heap[PlaceOf(pTimer)].nDue; }
    // Moves a timer whose WM_TIMER was just taken to its first due time after now. The phase is
    // kept (due times stay the first one plus whole periods), and periods missed while the thread
    // was busy fold into the one tick just taken.
    void Advance(PosixTimerEntry* pTimer, int64_t nNow);
    // The procedure the timer was set with, or null.
    TIMERPROC ProcOf(const PosixTimerEntry* pTimer) const { return ProcOfEntry(EntryOf(pTimer)); }

    // Whether some timer of the thread calls this procedure; DispatchMessageA calls no other.
    bool UsesProc(TIMERPROC pfnProc) const;

private:
    // Sixteen bytes, so that the four children of a node share one or two cache lines. The
    // period fills what would be padding: an elapse is whole milliseconds, at most 0x7FFFFFFF.
    // Timers due at the very same nanosecond come out in no particular order.
    struct Slot {
        int64_t nDue;
        uint32_t nEntry;  // index into m_pool
        UINT uElapse;     // milliseconds
    };
    static_assert(sizeof(Slot) == 16, "a heap slot is sixteen bytes");
    static constexpr size_t kArity = 4;

    uint32_t EntryOf(const PosixTimerEntry* pTimer) const {
        return static_cast<uint32_t>(pTimer - m_pool.data());
    }
    uint32_t PlaceOf(const PosixTimerEntry* pTimer) const { return PlaceOfEntry(EntryOf(pTimer)); }
    uint32_t PlaceOfEntry(uint32_t nEntry) const {
        const uint32_t nPlace = m_places[nEntry];
        MIREL_DCHECK(nPlace < m_heap.size() && m_heap[nPlace].nEntry == nEntry);
        return nPlace;
    }
    uint32_t FindEntry(HWND hWnd, UINT_PTR nID, uint32_t nHash) const;
    void Place(size_t nIndex, const Slot& slot);
    void SiftUp(size_t nIndex);
    void SiftDown(size_t nIndex);
    void Restore(size_t nIndex);
    void RemoveFromHeap(size_t nIndex);
    void FreeEntry(uint32_t nEntry);
    TIMERPROC ProcOfEntry(uint32_t nEntry) const {
        return nEntry < m_procs.size() ? m_procs[nEntry] : nullptr;
    }
    void ReserveProc(uint32_t nEntry, TIMERPROC pfnProc);
    void SetProc(uint32_t nEntry, TIMERPROC pfnProc);
    void AddProcUse(TIMERPROC pfnProc);
    void DropProcUse(TIMERPROC pfnProc);

    CTimerIndex m_index;
    std::vector<PosixTimerEntry> m_pool;
    // Where each timer of the pool sits in the heap: for every live entry e,
    // m_heap[m_places[e]].nEntry == e (checked by PlaceOfEntry in debug builds). Apart from the
    // timers, so that the writes of a sift touch one small array.
    std::vector<uint32_t> m_places;
    std::vector<uint32_t> m_freeEntries;
    // The procedure of each pool entry, as far as the array reaches; entries beyond it have none.
    // It stays empty until a timer of the queue has a procedure, which most queues never see, so
    // that their timers take eight bytes less.
    std::vector<TIMERPROC> m_procs;
    std::vector<Slot> m_heap;
    std::unordered_map<TIMERPROC, size_t> m_procUses;
};

}  // namespace mirel_ui

#pragma GCC visibility pop

#endif  // MIREL_PLATFORM_POSIX_TIMER_HEAP_H
