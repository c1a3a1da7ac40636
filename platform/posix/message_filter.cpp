#include "platform/posix/message_filter.h"

namespace mirel_ui {

// The window filter that asks for the thread's own messages only, those posted without a window.
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

bool MessageFilter::AcceptsWindow(HWND hMessageWindow) const {
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
bool MessageFilter::AcceptsMessage(UINT nMessage) const {
    if ((nFirst == 0 && nLast == 0) || nFirst > nLast) {
        return true;
    }
    return nMessage >= nFirst && nMessage <= nLast;
}

}  // namespace mirel_ui
