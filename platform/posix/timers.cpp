// Windows timers: SetTimer and KillTimer, on the queue (thread_queue.h) and its timer heap.
// A timer belongs to the queue of the thread that owns its window, whichever thread sets it.
#include <algorithm>

#include "platform/posix/out_of_memory.h"
#include "platform/posix/thread_queue.h"
#include "platform/posix/window_table.h"

namespace mirel_ui {

namespace {

// Windows raises an elapse below 10 ms to 10 ms and cuts one above 0x7FFFFFFF to that.
UINT ClampedElapse(UINT uElapse) {
    UINT uClamped = uElapse;
    if (uClamped < USER_TIMER_MINIMUM) {
        uClamped = USER_TIMER_MINIMUM;
    } else if (uClamped > USER_TIMER_MAXIMUM) {
        uClamped = USER_TIMER_MAXIMUM;
    }
    return uClamped;
}

}  // namespace

}  // namespace mirel_ui

extern "C" {

// A timer on a window of another thread of the process goes to that thread's queue, as Windows
// does; the owner gets the WM_TIMER messages. With no window the timer belongs to the calling
// thread, and its messages carry no window.
UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
    return mirel_posix::FailOnOutOfMemory<UINT_PTR>(0, [&]() -> UINT_PTR {
        const UINT uClamped = mirel_ui::ClampedElapse(uElapse);
        if (hWnd == nullptr) {
            return mirel_ui::CurrentQueue().SetThreadTimer(nIDEvent, uClamped, lpTimerFunc);
        }
        if (!mirel_ui::WithOwnerQueue(hWnd, [&](mirel_ui::CThreadQueue& queue) {
                queue.SetTimer(hWnd, nIDEvent, uClamped, lpTimerFunc);
            })) {
            return 0;
        }
        // The result must be non-zero for a window timer, also when the ID itself is 0.
        return nIDEvent != 0 ? nIDEvent : 1;
    });
}

BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    if (hWnd == nullptr) {
        mirel_ui::CThreadQueue* pQueue = mirel_ui::CurrentQueueIfAny();
        if (pQueue == nullptr || !pQueue->KillTimer(nullptr, uIDEvent)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return TRUE;
    }
    bool bKilled = false;
    if (!mirel_ui::WithOwnerQueue(hWnd, [&](mirel_ui::CThreadQueue& queue) {
            bKilled = queue.KillTimer(hWnd, uIDEvent);
        })) {
        return FALSE;
    }
    if (!bKilled) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
