// MessageFilter: which messages GetMessageA and PeekMessageA ask for, as the queue and the timer
// heap test them. A plain value; any thread.
#ifndef MIREL_PLATFORM_POSIX_MESSAGE_FILTER_H
#define MIREL_PLATFORM_POSIX_MESSAGE_FILTER_H

#include "platform/windows_api.h"

// The library exports the Windows calls only; its own plumbing stays inside it.
#pragma GCC visibility push(hidden)

namespace mirel_ui {

// What GetMessageA and PeekMessageA ask for: a window (null for any window of the thread and the
// thread's own messages, (HWND)-1 for the thread's own messages only) and a message range (0 and
// 0 for every message).
struct MessageFilter {
    HWND hWnd;
    UINT nFirst;
    UINT nLast;

    bool AcceptsWindow(HWND hMessageWindow) const;
    bool AcceptsMessage(UINT nMessage) const;
    bool AcceptsAnyWindow() const { return hWnd == nullptr; }
};

// The filter window that asks for the thread's own messages only.
extern const HWND kThreadMessagesOnly;

}  // namespace mirel_ui

#pragma GCC visibility pop

#endif  // MIREL_PLATFORM_POSIX_MESSAGE_FILTER_H
