// CThreadQueue: one thread's message queue, with that thread's timers. Any thread may reach another
// thread's queue through a window (see window_table.h). Lock order: the window table's lock first,
// then a queue's mutex; never the other way round.
#ifndef MIREL_PLATFORM_POSIX_THREAD_QUEUE_H
#define MIREL_PLATFORM_POSIX_THREAD_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/posix/message_filter.h"
#include "platform/posix/tick_count.h"
#include "platform/posix/timer_heap.h"
#include "platform/windows_api.h"

// The library exports the Windows calls only; its own plumbing stays inside it.
#pragma GCC visibility push(hidden)

namespace mirel_ui {

// At most this many posted messages wait in one queue, as on Windows; a runaway poster gets an
// error instead of eating the memory of the process.
constexpr size_t kPostedMessageLimit = 10000;

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
    // Elapses are in milliseconds, already clamped to the range SetTimer allows.
    void SetTimer(HWND hWnd, UINT_PTR nID, UINT uElapse, TIMERPROC pfnProc);
    bool KillTimer(HWND hWnd, UINT_PTR nID);
    // Drops the posted messages and the timers of a window that has just been destroyed.
    void ForgetWindow(HWND hWnd);

    // Owner thread only.
    void PostQuit(int nExitCode);
    UINT_PTR SetThreadTimer(UINT_PTR nID, UINT uElapse, TIMERPROC pfnProc);
    bool UsesTimerProc(TIMERPROC pfnProc);
    // Takes the next message the filter accepts: a posted one in order, else the quit message,
    // else a pending WM_TIMER. With bWait it blocks until one comes; otherwise returns false
    // when there is none.
    bool Retrieve(MSG* pMsg, const MessageFilter& filter, bool bRemove, bool bWait);
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

}  // namespace mirel_ui

#pragma GCC visibility pop

#endif  // MIREL_PLATFORM_POSIX_THREAD_QUEUE_H
