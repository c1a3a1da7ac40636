#include "platform/posix/thread_queue.h"

#include <errno.h>
#include <pthread.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/posix/window_table.h"
#include "platform/posix/queue_descriptor.h"
#include "platform/posix/thread_detach.h"

namespace mirel_ui {

// ----- Life of a thread's queue --------------------------------------------------------------

namespace {

// Read on every message, so it is reached at a fixed offset from the thread pointer rather than
// through __tls_get_addr; one pointer fits the space the loader keeps for this even when the
// library comes in with a module loaded later.
__attribute__((tls_model("initial-exec"))) thread_local CThreadQueue* t_pQueue = nullptr;
pthread_key_t g_queueKey;
pthread_once_t g_queueKeyOnce = PTHREAD_ONCE_INIT;

// Runs when a thread that had a queue ends (the main thread's queue lives until the process
// ends). As on Windows, the modules hear of it first, while the thread's windows still exist;
// then the windows go without a message to their procedures. They leave the table before the
// queue is deleted, so that no other thread can reach the queue through them.
void EndThreadQueue(void* pValue) {
    CThreadQueue* pQueue = static_cast<CThreadQueue*>(pValue);
    mirel_posix::DeliverThreadDetach();
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
    m_nTimerFd = CreateTimerFd(TFD_CLOEXEC);
}

CThreadQueue::~CThreadQueue() {
    if (m_nTimerFd >= 0) {
        CloseTimerFd(m_nTimerFd);
    }
}

void CThreadQueue::ArmTimerFd(int64_t nWhen) {
    ArmTimerFdAt(m_nTimerFd, nWhen);
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
            CloseTimerFd(m_nTimerFd);
            m_nTimerFd = -1;
        }
    } else if (nUntil == kNever) {
        m_wake.wait(lock);
    } else {
        m_wake.wait_until(lock, SteadyDeadlineOf(nUntil));
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

bool CThreadQueue::Retrieve(MSG* pMsg, const MessageFilter& filter, bool bRemove, bool bWait) {
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
        PosixTimerEntry* pTimer =
            filter.AcceptsMessage(WM_TIMER) ? m_timers.Earliest(filter) : nullptr;
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
                pMsg->lParam = reinterpret_cast<LPARAM>(m_timers.ProcOf(pTimer));
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

// ----- The queue's timers --------------------------------------------------------------------

void CThreadQueue::SetTimer(HWND hWnd, UINT_PTR nID, UINT uElapse, TIMERPROC pfnProc) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int64_t nNow = MonotonicNanoseconds();
    m_timers.Set(hWnd, nID, pfnProc, uElapse, nNow);
    // Only another thread can find the owner blocked here; the owner's own calls never wake it.
    WakeOwnerIfBefore(nNow + uElapse * kNanosecondsPerMillisecond);
    ReflectInDescriptor();
}

bool CThreadQueue::KillTimer(HWND hWnd, UINT_PTR nID) {
    // The owner may stay blocked until the killed timer's due time; it then finds nothing and
    // waits again, which is cheaper than waking it now for no message. The descriptor is left
    // alone for the same reason: a kill can only move the earliest due time later, so the
    // descriptor at worst fires early, and the look that then finds nothing re-arms it. Re-arming
    // it here would cost a system call on every kill of the earliest timer.
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timers.Kill(hWnd, nID);
}

UINT_PTR CThreadQueue::SetThreadTimer(UINT_PTR nID, UINT uElapse, TIMERPROC pfnProc) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // An ID that names a timer of the thread replaces it; any other is ignored and a fresh ID
    // that no thread timer of this thread holds is handed out.
    if (nID == 0 || !m_timers.Contains(nullptr, nID)) {
        do {
            nID = m_nNextThreadTimerID++;
        } while (nID == 0 || m_timers.Contains(nullptr, nID));
    }
    m_timers.Set(nullptr, nID, pfnProc, uElapse, MonotonicNanoseconds());
    ReflectInDescriptor();
    return nID;
}

bool CThreadQueue::UsesTimerProc(TIMERPROC pfnProc) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timers.UsesProc(pfnProc);
}

// ----- The queue's side ----------------------------------------------------------------------

int CThreadQueue::Descriptor() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pDescriptor == nullptr) {
        DWORD dwError = ERROR_SUCCESS;
        m_pDescriptor = CQueueDescriptor::Create(&dwError);
        if (m_pDescriptor == nullptr) {
            SetLastError(dwError);
            return -1;
        }
        ReflectInDescriptor();
    }
    return m_pDescriptor->Descriptor();
}

// What an unfiltered PeekMessageA would look at: the posted messages, WM_QUIT and the earliest
// timer of all.
void CThreadQueue::ReflectInDescriptor() {
    if (m_pDescriptor == nullptr) {
        return;
    }
    const PosixTimerEntry* pEarliest = m_timers.Earliest(MessageFilter{nullptr, 0, 0});
    m_pDescriptor->Reflect(!m_posted.empty() || m_bQuitPending,
                           pEarliest != nullptr ? m_timers.DueTime(pEarliest) : kNever, m_nLastNow);
}

}  // namespace mirel_ui
