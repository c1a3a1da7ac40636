// The message calls: posting, the quit message, taking messages out (GetMessageA, PeekMessageA)
// and handing them to their window (DispatchMessageA), on the thread queues of thread_queue.h.
#include <errno.h>
#include <pthread.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "platform/posix/message_filter.h"
#include "platform/posix/out_of_memory.h"
#include "platform/posix/thread_queue.h"
#include "platform/posix/window_table.h"

namespace mirel_ui {

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
    return mirel_posix::FailOnOutOfMemory<BOOL>(FALSE, [&]() -> BOOL {
        // Without a window the message goes to the calling thread itself, as PostThreadMessage
        // would.
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
    });
}

// Cannot fail on Windows; here only a thread without a queue yet that cannot have one loses it.
void WINAPI PostQuitMessage(int nExitCode) {
    mirel_posix::FailOnOutOfMemory<bool>(false, [&] {
        mirel_ui::CurrentQueue().PostQuit(nExitCode);
        return true;
    });
}

// Blocks until a message the filter accepts comes. Returns 0 for WM_QUIT, -1 when the filter
// names no window (or there is nowhere to put the message), else 1.
BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    return mirel_posix::FailOnOutOfMemory<BOOL>(-1, [&]() -> BOOL {
        if (lpMsg == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return -1;
        }
        if (!mirel_ui::IsValidFilterWindow(hWnd)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return -1;
        }
        const mirel_ui::MessageFilter filter{hWnd, wMsgFilterMin, wMsgFilterMax};
        mirel_ui::CurrentQueue().Retrieve(lpMsg, filter, true, true);
        return lpMsg->message == WM_QUIT ? 0 : 1;
    });
}

// The PM_QS_* selections of the high word are not told apart: every kind of message is looked
// at, which is what a caller that passes none of them gets on Windows too.
BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
    return mirel_posix::FailOnOutOfMemory<BOOL>(FALSE, [&]() -> BOOL {
        if (lpMsg == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!mirel_ui::IsValidFilterWindow(hWnd)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        const mirel_ui::MessageFilter filter{hWnd, wMsgFilterMin, wMsgFilterMax};
        const bool bRemove = (wRemoveMsg & PM_REMOVE) != 0;
        return mirel_ui::CurrentQueue().Retrieve(lpMsg, filter, bRemove, false) ? TRUE : FALSE;
    });
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
                         ? ERROR_MESSAGE_SYNC_ONLY
                         : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    // No lock while the procedure runs: it may create, destroy, post and set timers.
    return pfnWndProc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

}  // extern "C"
