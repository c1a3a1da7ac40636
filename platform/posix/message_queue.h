// The user-interface part of the POSIX stand-ins, shared by windows.cpp, message_queue.cpp and
// timers.cpp: one message queue per thread with that thread's timers, and the process-wide table
// of windows and window classes. Any thread may reach another thread's queue through a window.
// Lock order: the window table's lock first, then a queue's mutex; never the other way round.
#ifndef MIREL_PLATFORM_POSIX_MESSAGE_QUEUE_H
#define MIREL_PLATFORM_POSIX_MESSAGE_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/windows_api.h"

// The library exports the Windows calls only; its own plumbing stays inside it.
#pragma GCC visibility push(hidden)

namespace mirel_ui {

// Error codes that no client tests for: DispatchMessageA for a window of another thread, and
// RegisterClassA once every class atom is taken.
constexpr DWORD kErrorMessageSyncOnly = 1159;  // ERROR_MESSAGE_SYNC_ONLY
constexpr DWORD kErrorNotEnoughMemory = 8;     // ERROR_NOT_ENOUGH_MEMORY

// At most this many posted messages wait in one queue, as on Windows; a runaway poster gets an
// error instead of eating the memory of the process.
constexpr size_t kPostedMessageLimit = 10000;

// ----- Time ----------------------------------------------------------------------------------

// Nanoseconds of CLOCK_MONOTONIC, the clock of every timer, of message times and of GetTickCount.
// It is the clock of std::chrono::steady_clock too, so deadlines go straight into timed waits.
int64_t MonotonicNanoseconds();
constexpr int64_t kNever = INT64_MAX;

// ----- Message filter ------------------------------------------------------------------------

// What GetMessageA and PeekMessageA ask for: a window (null for any window of the thread and the
// thread's own messages, (HWND)-1 for the thread's own messages only) and a message range (0 and
// 0 for every message).
struct CMessageFilter {
    HWND hWnd;
    UINT nFirst;
    UINT nLast;

    bool AcceptsWindow(HWND hMessageWindow) const;
    bool AcceptsMessage(UINT nMessage) const;
    bool AcceptsAnyWindow() const { return hWnd == nullptr; }
};

// ----- Timers of one thread ------------------------------------------------------------------

struct CTimerEntry {
    HWND hWnd;  // null for a thread timer
    UINT_PTR nID;
    TIMERPROC pfnProc;
    int64_t nElapse;  // nanoseconds
};

// The timers of one queue: a map from (window, ID) to the timer and a 4-ary min-heap over the
// due times in which every timer knows its place, so that setting, re-arming and killing a
// timer cost O(log n) and the earliest timer is found in O(1). The heap holds the due times
// itself and the timers sit in one dense pool, so that ordering the heap reads contiguous
// memory rather than chasing every timer. A timer whose due time has come is a pending
// WM_TIMER; delivering it moves the due time on, so at most one is ever pending. Not locked:
// its queue's mutex guards it. A CTimerEntry pointer stays valid until the next Set or Kill.
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
    struct CSlot {
        HWND hWnd;
        UINT_PTR nID;
        uint32_t nEntry;  // kNone: the slot is free
    };

    size_t Home(HWND hWnd, UINT_PTR nID) const;
    size_t SlotOf(HWND hWnd, UINT_PTR nID) const;  // the key's slot, or the free one ending its run
    void Grow();

    std::vector<CSlot> m_slots;  // a power of two in size, or empty
    size_t m_nCount = 0;
    unsigned m_nShift = 64;  // 64 minus log2 of the size
};

class CTimerHeap {
public:
    // Sets a new timer or replaces the one with that window and ID; its countdown starts at now.
    void Set(HWND hWnd, UINT_PTR nID, TIMERPROC pfnProc, int64_t nElapse, int64_t nNow);
    bool Kill(HWND hWnd, UINT_PTR nID);
    bool Contains(HWND hWnd, UINT_PTR nID) const;
    // Drops every timer of a window that is being destroyed. O(n), as destruction is rare.
    void KillWindow(HWND hWnd);

    // The timer with the earliest due time among those the filter accepts, or null. O(1) when
    // the filter takes every window, else a walk over all timers.
    CTimerEntry* Earliest(const CMessageFilter& filter);
    // MonotonicNanoseconds() at which the timer's next WM_TIMER becomes pending.
    int64_t DueTime(const CTimerEntry* pTimer) const { return m_heap[PlaceOf(pTimer)].nDue; }
    // Moves a timer whose WM_TIMER was just taken to its first due time after now. The phase is
    // kept (due times stay the first one plus whole periods), and periods missed while the thread
    // was busy fold into the one tick just taken.
    void Advance(CTimerEntry* pTimer, int64_t nNow);

    // Whether some timer of the thread calls this procedure; DispatchMessageA calls no other.
    bool UsesProc(TIMERPROC pfnProc) const;

private:
    // Sixteen bytes, so that the four children of a node share one or two cache lines. Timers
    // due at the very same nanosecond come out in no particular order.
    struct CSlot {
        int64_t nDue;
        uint32_t nEntry;  // index into m_pool
    };
    static constexpr size_t kArity = 4;

    uint32_t PlaceOf(const CTimerEntry* pTimer) const {
        return m_places[static_cast<size_t>(pTimer - m_pool.data())];
    }
    void Place(size_t nIndex, const CSlot& slot);
    void SiftUp(size_t nIndex);
    void SiftDown(size_t nIndex);
    void Restore(size_t nIndex);
    void RemoveFromHeap(size_t nIndex);
    void FreeEntry(uint32_t nEntry);
    void AddProcUse(TIMERPROC pfnProc);
    void DropProcUse(TIMERPROC pfnProc);

    CTimerIndex m_index;
    std::vector<CTimerEntry> m_pool;
    // Where each timer of the pool sits in the heap. Apart from the timers, so that the writes
    // of a sift touch one small array.
    std::vector<uint32_t> m_places;
    std::vector<uint32_t> m_freeEntries;
    std::vector<CSlot> m_heap;
    std::unordered_map<TIMERPROC, size_t> m_procUses;
};

// ----- Message queue of one thread -----------------------------------------------------------

class CQueueDescriptor;

// Posted messages in order, the quit flag and the thread's timers. Created on a thread's first
// call that needs it and ended when the thread ends. The owner thread takes messages out and
// blocks in GetMessageA; any thread may post and set or kill timers through a window the thread
// owns. Every member is guarded by m_mutex but the owner's list of its own windows.
class CThreadQueue {
public:
    explicit CThreadQueue(DWORD dwThreadId);
    ~CThreadQueue();
    CThreadQueue(const CThreadQueue&) = delete;
    CThreadQueue& operator=(const CThreadQueue&) = delete;
    DWORD ThreadId() const { return m_dwThreadId; }

    // Any thread.
    bool Post(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam);
    void SetTimer(HWND hWnd, UINT_PTR nID, int64_t nElapse, TIMERPROC pfnProc);
    bool KillTimer(HWND hWnd, UINT_PTR nID);
    // Drops the posted messages and the timers of a window that has just been destroyed.
    void ForgetWindow(HWND hWnd);

    // Owner thread only.
    void PostQuit(int nExitCode);
    UINT_PTR SetThreadTimer(UINT_PTR nID, int64_t nElapse, TIMERPROC pfnProc);
    bool UsesTimerProc(TIMERPROC pfnProc);
    // Takes the next message the filter accepts: a posted one in order, else the quit message,
    // else a pending WM_TIMER. With bWait it blocks until one comes; otherwise returns false
    // when there is none.
    bool Retrieve(MSG* pMsg, const CMessageFilter& filter, bool bRemove, bool bWait);
    // The descriptor of MirelGetQueueDescriptor, made on the first call; -1 with the last error
    // set when it cannot be made.
    int Descriptor();

    // Owner thread only, without a lock: the procedures of the windows this thread owns, so that
    // DispatchMessageA finds them without the window table's lock. Only the owner creates and
    // destroys its windows, so no other thread ever changes or needs this map.
    // The window last looked up is remembered, as a loop mostly dispatches to one window.
    void AddOwnWindow(HWND hWnd, WNDPROC pfnWndProc) { m_ownWindows[hWnd] = pfnWndProc; }
    void RemoveOwnWindow(HWND hWnd) {
        m_ownWindows.erase(hWnd);
        m_hLastOwnWindow = nullptr;
    }
    WNDPROC OwnWindowProc(HWND hWnd) {
        if (hWnd != m_hLastOwnWindow || hWnd == nullptr) {
            auto it = m_ownWindows.find(hWnd);
            if (it == m_ownWindows.end()) {
                return nullptr;
            }
            m_hLastOwnWindow = hWnd;
            m_pfnLastOwnWindowProc = it->second;
        }
        return m_pfnLastOwnWindowProc;
    }

private:
    // Makes a blocked owner wake at nWhen (0: at once) when that is before what it waits for.
    void WakeOwnerIfBefore(int64_t nWhen);
    // Blocks the owner until nUntil (kNever: no deadline) or a wake, without the mutex.
    void Block(std::unique_lock<std::mutex>& lock, int64_t nUntil);
    void ArmTimerFd(int64_t nWhen);
    // Brings the descriptor, if the owner asked for one, in line with the queue's state. Every
    // change that can alter what PeekMessageA finds calls it, under m_mutex.
    void ReflectInDescriptor();

    const DWORD m_dwThreadId;
    std::mutex m_mutex;
    bool m_bWaiting = false;
    int64_t m_nWaitingUntil = kNever;
    // The owner blocks in a read of this timerfd, armed for the earliest due time. A timerfd
    // has no timer slack, so ticks come on time, and another thread wakes the owner earlier by
    // arming it earlier: a post arms it for at once, a nearer timer for its due time. Armed
    // only just before blocking and only when the deadline changed, so setting and killing
    // timers costs no system call. Where the system refuses a timerfd, a condition variable
    // with a timed wait serves instead.
    int m_nTimerFd = -1;
    int64_t m_nArmedFor = kNever;  // kNever: disarmed
    std::condition_variable m_wake;
    std::deque<MSG> m_posted;
    bool m_bQuitPending = false;
    int m_nQuitCode = 0;
    CTimerHeap m_timers;
    // The clock as Retrieve last read it. A timer due by then is due now, so a batch of timers
    // that fell due together is delivered with one reading of the clock.
    int64_t m_nLastNow = 0;
    UINT_PTR m_nNextThreadTimerID = 1;
    std::unique_ptr<CQueueDescriptor> m_pDescriptor;  // null until the owner asks for it
    std::unordered_map<HWND, WNDPROC> m_ownWindows;
    HWND m_hLastOwnWindow = nullptr;
    WNDPROC m_pfnLastOwnWindowProc = nullptr;
};

// The calling thread's queue, created on first use.
CThreadQueue& CurrentQueue();
// The calling thread's queue, or null when the thread has none yet.
CThreadQueue* CurrentQueueIfAny();

// ----- Window table --------------------------------------------------------------------------

struct CWindowClass;

struct CWindowRecord {
    HWND hWnd;
    WNDPROC pfnWndProc;
    DWORD dwThreadId;
    CThreadQueue* pQueue;  // the owner thread's queue; lives as long as the record
    CWindowClass* pClass;
    bool bDestroying;  // touched by the owner thread only, under the exclusive lock
};

// Guards the windows and the classes. Shared for look-ups and for work on a window's queue (so
// that neither the window nor the queue can end meanwhile), exclusive for changes to the table.
std::shared_mutex& WindowTableLock();
// The record of a live window, or null. The caller holds WindowTableLock().
CWindowRecord* FindWindowLocked(HWND hWnd);

// Calls fnAction with the queue of the thread that owns hWnd, holding the window table's shared
// lock so that the window, and with it the queue, stays alive meanwhile. Any thread may call it.
// When hWnd names no live window, sets ERROR_INVALID_WINDOW_HANDLE and returns false.
template <typename Action>
bool WithOwnerQueue(HWND hWnd, Action&& fnAction) {
    std::shared_lock<std::shared_mutex> lock(WindowTableLock());
    CWindowRecord* pWindow = FindWindowLocked(hWnd);
    if (pWindow == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    fnAction(*pWindow->pQueue);
    return true;
}
// Forgets the windows of a thread that is ending, as Windows destroys them, without messages.
void ForgetThreadWindows(const CThreadQueue* pQueue);

}  // namespace mirel_ui

#pragma GCC visibility pop

#endif  // MIREL_PLATFORM_POSIX_MESSAGE_QUEUE_H
