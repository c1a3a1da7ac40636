// The message queue of each thread: posting, the quit message, taking messages out (GetMessageA,
// PeekMessageA) and handing them to their window (DispatchMessageA). A queue is made on a
// thread's first call that needs one and ends with the thread, taking the thread's windows along.
#include <errno.h>
#include <pthread.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/posix/message_queue.h"
#include "platform/posix/queue_descriptor.h"

namespace mirel_ui {

// ----- Filter --------------------------------------------------------------------------------

namespace {
// The window filter that asks for the thread's own messages only, those posted without a window.
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));
}  // namespace

bool CMessageFilter::AcceptsWindow(HWND hMessageWindow) const {
    if (hWnd == nullptr) {
        return true;
    }
    if (hWnd == kThreadMessagesOnly) {
        return hMessageWindow == nullptr;
    }
    return hMessageWindow == hWnd;
}

// A range whose first message lies above its last takes every message, so that a reversed
// range cannot block a loop forever.
bool CMessageFilter::AcceptsMessage(UINT nMessage) const {
    if ((nFirst == 0 && nLast == 0) || nFirst > nLast) {
        return true;
    }
    return nMessage >= nFirst && nMessage <= nLast;
}

// ----- Life of a thread's queue --------------------------------------------------------------

namespace {

// Read on every message, so it is reached at a fixed offset from the thread pointer rather than
// through __tls_get_addr; one pointer fits the space the loader keeps for this even when the
// library comes in with a module loaded later.
__attribute__((tls_model("initial-exec"))) thread_local CThreadQueue* t_pQueue = nullptr;
pthread_key_t g_queueKey;
pthread_once_t g_queueKeyOnce = PTHREAD_ONCE_INIT;

// Runs when a thread that had a queue ends (the main thread's queue lives until the process
// ends). Its windows leave the table first, so that no other thread can reach the queue through
// them once it is deleted.
void EndThreadQueue(void* pValue) {
    CThreadQueue* pQueue = static_cast<CThreadQueue*>(pValue);
    ForgetThreadWindows(pQueue);
    if (t_pQueue == pQueue) {
        t_pQueue = nullptr;
    }
    delete pQueue;
}

void CreateQueueKey() {
    pthread_key_create(&g_queueKey, EndThreadQueue);
}

}  // namespace

CThreadQueue& CurrentQueue() {
    if (t_pQueue == nullptr) {
        pthread_once(&g_queueKeyOnce, CreateQueueKey);
        t_pQueue = new CThreadQueue(GetCurrentThreadId());
        pthread_setspecific(g_queueKey, t_pQueue);
    }
    return *t_pQueue;
}

CThreadQueue* CurrentQueueIfAny() {
    return t_pQueue;
}

// ----- Waiting -------------------------------------------------------------------------------

CThreadQueue::CThreadQueue(DWORD dwThreadId) : m_dwThreadId(dwThreadId) {
    m_nTimerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
}

CThreadQueue::~CThreadQueue() {
    if (m_nTimerFd >= 0) {
        close(m_nTimerFd);
    }
}

void CThreadQueue::ArmTimerFd(int64_t nWhen) {
    itimerspec spec{};
    if (nWhen != kNever) {
        // An all-zero time would disarm; one nanosecond after boot lies in the past and fires
        // at once.
        const int64_t nAt = std::max<int64_t>(nWhen, 1);
        spec.it_value.tv_sec = static_cast<time_t>(nAt / 1000000000);
        spec.it_value.tv_nsec = static_cast<long>(nAt % 1000000000);
    }
    timerfd_settime(m_nTimerFd, TFD_TIMER_ABSTIME, &spec, nullptr);
    m_nArmedFor = nWhen;
}

void CThreadQueue::WakeOwnerIfBefore(int64_t nWhen) {
    if (!m_bWaiting || nWhen >= m_nWaitingUntil) {
        return;
    }
    m_nWaitingUntil = nWhen;
    if (m_nTimerFd >= 0) {
        ArmTimerFd(nWhen);
    } else {
        m_wake.notify_one();
    }
}

void CThreadQueue::Block(std::unique_lock<std::mutex>& lock, int64_t nUntil) {
    m_bWaiting = true;
    m_nWaitingUntil = nUntil;
    if (m_nTimerFd >= 0) {
        if (m_nArmedFor != nUntil) {
            ArmTimerFd(nUntil);
        }
        // Whatever another thread arms between the unlock and the read stays in the timerfd,
        // so no wake is lost.
        lock.unlock();
        uint64_t nExpirations = 0;
        const ssize_t nRead = read(m_nTimerFd, &nExpirations, sizeof nExpirations);
        const int nError = errno;
        lock.lock();
        if (nRead == static_cast<ssize_t>(sizeof nExpirations)) {
            m_nArmedFor = kNever;  // a one-shot timerfd that fired is disarmed
        } else if (nError != EINTR) {
            // Should the timerfd ever fail, the queue goes on with the condition variable.
            close(m_nTimerFd);
            m_nTimerFd = -1;
        }
    } else if (nUntil == kNever) {
        m_wake.wait(lock);
    } else {
        m_wake.wait_until(lock,
                          std::chrono::steady_clock::time_point(std::chrono::nanoseconds(nUntil)));
    }
    m_bWaiting = false;
    m_nWaitingUntil = kNever;
}

// ----- Posting -------------------------------------------------------------------------------

bool CThreadQueue::Post(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_posted.size() >= kPostedMessageLimit) {
        return false;
    }
    MSG msg{};
    msg.hwnd = hWnd;
    msg.message = nMessage;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = GetTickCount();
    m_posted.push_back(msg);
    WakeOwnerIfBefore(0);
    ReflectInDescriptor();
    return true;
}

void CThreadQueue::PostQuit(int nExitCode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bQuitPending = true;
    m_nQuitCode = nExitCode;
    ReflectInDescriptor();
}

// A WM_QUIT posted to the window is not lost with it: as Windows does, the first one becomes the
// thread's quit message (with its wParam as the exit code) unless one is pending already.
void CThreadQueue::ForgetWindow(HWND hWnd) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const MSG& msg : m_posted) {
        if (msg.hwnd == hWnd && msg.message == WM_QUIT && !m_bQuitPending) {
            m_bQuitPending = true;
            m_nQuitCode = static_cast<int>(msg.wParam);
        }
    }
    m_posted.erase(std::remove_if(m_posted.begin(), m_posted.end(),
                                  [hWnd](const MSG& msg) { return msg.hwnd == hWnd; }),
                   m_posted.end());
    m_timers.KillWindow(hWnd);
    ReflectInDescriptor();
}

// ----- Taking messages out -------------------------------------------------------------------

bool CThreadQueue::Retrieve(MSG* pMsg, const CMessageFilter& filter, bool bRemove, bool bWait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        // Posted messages first, in the order they came.
        for (auto it = m_posted.begin(); it != m_posted.end(); ++it) {
            if (filter.AcceptsWindow(it->hwnd) && filter.AcceptsMessage(it->message)) {
                *pMsg = *it;
                if (bRemove) {
                    m_posted.erase(it);
                    ReflectInDescriptor();
                }
                return true;
            }
        }
        // The quit message comes after every posted message and whatever the filter, as the
        // loop that asked for it must end even while it filters.
        if (m_bQuitPending) {
            *pMsg = MSG{};
            pMsg->message = WM_QUIT;
            pMsg->wParam = static_cast<WPARAM>(m_nQuitCode);
            pMsg->time = GetTickCount();
            if (bRemove) {
                m_bQuitPending = false;
                ReflectInDescriptor();
            }
            return true;
        }
        // A WM_TIMER is made only now that no posted message waits; the earliest timer goes
        // first, so timers that fell due together keep their order.
        int64_t nWaitUntil = kNever;
        CTimerEntry* pTimer = filter.AcceptsMessage(WM_TIMER) ? m_timers.Earliest(filter) : nullptr;
        if (pTimer != nullptr) {
            const int64_t nDue = m_timers.DueTime(pTimer);
            if (nDue > m_nLastNow) {
                m_nLastNow = MonotonicNanoseconds();
            }
            if (nDue <= m_nLastNow) {
                *pMsg = MSG{};
                pMsg->hwnd = pTimer->hWnd;
                pMsg->message = WM_TIMER;
                pMsg->wParam = pTimer->nID;
                pMsg->lParam = reinterpret_cast<LPARAM>(pTimer->pfnProc);
                pMsg->time = static_cast<DWORD>(m_nLastNow / 1000000);
                if (bRemove) {
                    m_timers.Advance(pTimer, m_nLastNow);
                }
                return true;
            }
            nWaitUntil = nDue;
        }
        // Nothing for this caller. Taking a WM_TIMER out leaves the descriptor readable: making
        // it quiet costs a system call, which a stream of timers falling due microseconds apart
        // would pay for every timer. This look, which finds nothing, brings it in line instead.
        ReflectInDescriptor();
        if (!bWait) {
            return false;
        }
        // One blocking wait until the earliest due time or a post, whichever comes first.
        Block(lock, nWaitUntil);
    }
}

namespace {

// Checks the window of a filter: null and (HWND)-1 need no window; any other must exist.
bool IsValidFilterWindow(HWND hWnd) {
    if (hWnd == nullptr || hWnd == kThreadMessagesOnly) {
        return true;
    }
    std::shared_lock<std::shared_mutex> lock(WindowTableLock());
    return FindWindowLocked(hWnd) != nullptr;
}

}  // namespace

}  // namespace mirel_ui

extern "C" {

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    // Without a window the message goes to the calling thread itself, as PostThreadMessage would.
    if (hWnd == nullptr) {
        if (!mirel_ui::CurrentQueue().Post(nullptr, Msg, wParam, lParam)) {
            SetLastError(ERROR_NOT_ENOUGH_QUOTA);
            return FALSE;
        }
        return TRUE;
    }
    bool bPosted = false;
    if (!mirel_ui::WithOwnerQueue(hWnd, [&](mirel_ui::CThreadQueue& queue) {
            bPosted = queue.Post(hWnd, Msg, wParam, lParam);
        })) {
        return FALSE;
    }
    if (!bPosted) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    return TRUE;
}

void WINAPI PostQuitMessage(int nExitCode) {
    mirel_ui::CurrentQueue().PostQuit(nExitCode);
}

// Blocks until a message the filter accepts comes. Returns 0 for WM_QUIT, -1 when the filter
// names no window (or there is nowhere to put the message), else 1.
BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!mirel_ui::IsValidFilterWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    const mirel_ui::CMessageFilter filter{hWnd, wMsgFilterMin, wMsgFilterMax};
    mirel_ui::CurrentQueue().Retrieve(lpMsg, filter, true, true);
    return lpMsg->message == WM_QUIT ? 0 : 1;
}

// The PM_QS_* selections of the high word are not told apart: every kind of message is looked
// at, which is what a caller that passes none of them gets on Windows too.
BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!mirel_ui::IsValidFilterWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    const mirel_ui::CMessageFilter filter{hWnd, wMsgFilterMin, wMsgFilterMax};
    const bool bRemove = (wRemoveMsg & PM_REMOVE) != 0;
    return mirel_ui::CurrentQueue().Retrieve(lpMsg, filter, bRemove, false) ? TRUE : FALSE;
}

// There is no keyboard, so there is never a character message to make.
BOOL WINAPI TranslateMessage(const MSG* lpMsg) {
    (void)lpMsg;
    return FALSE;
}

LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
    if (lpMsg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // A WM_TIMER with a procedure goes to the procedure instead of the window. Only a procedure
    // that a timer of this thread was set with is called: a WM_TIMER posted by hand with any
    // lParam must not make the thread jump to an arbitrary address.
    if (lpMsg->message == WM_TIMER && lpMsg->lParam != 0) {
        TIMERPROC pfnProc = reinterpret_cast<TIMERPROC>(lpMsg->lParam);
        mirel_ui::CThreadQueue* pQueue = mirel_ui::CurrentQueueIfAny();
        if (pQueue == nullptr || !pQueue->UsesTimerProc(pfnProc)) {
            return 0;
        }
        pfnProc(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, GetTickCount());
        return 0;
    }
    if (lpMsg->hwnd == nullptr) {
        return 0;
    }
    // The thread's own windows are found without a lock; any other handle only earns an error.
    mirel_ui::CThreadQueue* pQueue = mirel_ui::CurrentQueueIfAny();
    WNDPROC pfnWndProc = pQueue != nullptr ? pQueue->OwnWindowProc(lpMsg->hwnd) : nullptr;
    if (pfnWndProc == nullptr) {
        std::shared_lock<std::shared_mutex> lock(mirel_ui::WindowTableLock());
        // A window's procedure runs on its own thread only.
        SetLastError(mirel_ui::FindWindowLocked(lpMsg->hwnd) != nullptr
                         ? mirel_ui::kErrorMessageSyncOnly
                         : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    // No lock while the procedure runs: it may create, destroy, post and set timers.
    return pfnWndProc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

}  // extern "C"
