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
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/windows_api.h"

// The library exports the Windows calls only; its own plumbing stays inside it.
#pragma GCC visibility push(hidden)

namespace mirel_ui {

// Set by DispatchMessageA for a window of another thread; no client tests for it.
constexpr DWORD kErrorMessageSyncOnly = 1159;  // ERROR_MESSAGE_SYNC_ONLY

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
    size_t nHeapIndex;
};

// The timers of one queue: a map from (window, ID) to the timer and a 4-ary min-heap over the
// due times in which every timer knows its place, so that setting, re-arming and killing a
// timer cost O(log n) and the earliest timer is found in O(1). The heap holds the due times
// itself, so that ordering it reads contiguous memory rather than chasing every timer. A timer
// whose due time has come is a pending WM_TIMER; delivering it moves the due time on, so at most
// one is ever pending. Not locked: its queue's mutex guards it.
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
    int64_t DueTime(const CTimerEntry* pTimer) const { return m_heap[pTimer->nHeapIndex].nDue; }
    // Moves a timer whose WM_TIMER was just taken to its first due time after now. The phase is
    // kept (due times stay the first one plus whole periods), and periods missed while the thread
    // was busy fold into the one tick just taken.
    void Advance(CTimerEntry* pTimer, int64_t nNow);

    // Whether some timer of the thread calls this procedure; DispatchMessageA calls no other.
    bool UsesProc(TIMERPROC pfnProc) const;
    size_t Size() const { return m_heap.size(); }

private:
    struct CKey {
        HWND hWnd;
        UINT_PTR nID;
        bool operator==(const CKey& other) const { return hWnd == other.hWnd && nID == other.nID; }
    };
    struct CKeyHash {
        size_t operator()(const CKey& key) const;
    };
    struct CSlot {
        int64_t nDue;
        uint64_t nSequence;  // orders timers due at the same instant by the time they were armed
        CTimerEntry* pTimer;
    };
    static constexpr size_t kArity = 4;

    static bool Before(const CSlot& left, const CSlot& right);
    void Place(size_t nIndex, const CSlot& slot);
    void SiftUp(size_t nIndex);
    void SiftDown(size_t nIndex);
    void Restore(size_t nIndex);
    void RemoveFromHeap(size_t nIndex);
    void AddProcUse(TIMERPROC pfnProc);
    void DropProcUse(TIMERPROC pfnProc);

    // Node-based, so the heap's pointers stay valid while other timers come and go.
    std::unordered_map<CKey, CTimerEntry, CKeyHash> m_entries;
    std::vector<CSlot> m_heap;
    std::unordered_map<TIMERPROC, size_t> m_procUses;
    uint64_t m_nNextSequence = 0;
};

// ----- Message queue of one thread -----------------------------------------------------------

// Posted messages in order, the quit flag and the thread's timers. Created on a thread's first
// call that needs it and ended when the thread ends. The owner thread takes messages out and
// blocks in GetMessageA; any thread may post and set or kill timers through a window the thread
// owns. Every member is guarded by m_mutex but the owner's list of its own windows.
class CThreadQueue {
public:
    explicit CThreadQueue(DWORD dwThreadId) : m_dwThreadId(dwThreadId) {}
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

    // Owner thread only, without a lock: the procedures of the windows this thread owns, so that
    // DispatchMessageA finds them without the window table's lock. Only the owner creates and
    // destroys its windows, so no other thread ever changes or needs this map.
    void AddOwnWindow(HWND hWnd, WNDPROC pfnWndProc) { m_ownWindows[hWnd] = pfnWndProc; }
    void RemoveOwnWindow(HWND hWnd) { m_ownWindows.erase(hWnd); }
    WNDPROC OwnWindowProc(HWND hWnd) const {
        auto it = m_ownWindows.find(hWnd);
        return it == m_ownWindows.end() ? nullptr : it->second;
    }

private:
    // Wakes the owner when it is blocked and the event comes before what it waits for.
    void WakeOwnerIfBefore(int64_t nWhen);

    const DWORD m_dwThreadId;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_bWaiting = false;
    int64_t m_nWaitingUntil = kNever;
    std::deque<MSG> m_posted;
    bool m_bQuitPending = false;
    int m_nQuitCode = 0;
    CTimerHeap m_timers;
    UINT_PTR m_nNextThreadTimerID = 1;
    std::unordered_map<HWND, WNDPROC> m_ownWindows;
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
// Forgets the windows of a thread that is ending, as Windows destroys them, without messages.
void ForgetThreadWindows(const CThreadQueue* pQueue);

}  // namespace mirel_ui

#pragma GCC visibility pop

#endif  // MIREL_PLATFORM_POSIX_MESSAGE_QUEUE_H
