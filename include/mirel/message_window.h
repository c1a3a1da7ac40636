// IMessageWindow and IMessageSink: the framework's hidden message-window component (ID 33) and
// the callback through which it hands the messages of its window to its user. The window belongs
// to the thread that called CreateMessageWindow; messages are delivered on that thread.
#ifndef MIREL_MESSAGE_WINDOW_H
#define MIREL_MESSAGE_WINDOW_H

#include <stdint.h>

#include "mirel/component.h"

// The same handle type as the platform's, so that clients need not include it here.
struct HWND__;
typedef struct HWND__* HWND;

class IMessageSink {
public:
    virtual int32_t GetSinkVersion() = 0;  // slot 0
    // Slot 1: one message of the window; the result is returned to the window procedure.
    virtual int32_t OnWindowMessage(HWND hWnd, uint32_t uMsg, uintptr_t wParam, intptr_t lParam,
                                    int32_t nExtra) = 0;

protected:
    ~IMessageSink() = default;
};

class IMessageWindow : public IComponent {
public:
    // Slot 5: creates the window on the calling thread, stores its handle in *phWnd and passes
    // every message of it to pSink from then on. Returns 1 when a window was made, else 0.
    virtual int32_t CreateMessageWindow(HWND* phWnd, IMessageSink* pSink) = 0;

protected:
    ~IMessageWindow() = default;
};

#endif  // MIREL_MESSAGE_WINDOW_H
