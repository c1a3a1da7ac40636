// CMessageWindow: the framework's message-window component (ID 33). CreateMessageWindow makes a
// message-only window owned by the calling thread and hands every message of it to the given
// sink, on that thread, until the component is released; releasing the component destroys the
// window. Calls into one component must not overlap; the release may come from any thread.
//
// What the sink receives: OnWindowMessage(window handle, message, wParam, lParam, depth), where
// depth is 1 for a message dispatched by the thread's loop and 2 or more for a message that
// reaches the window while the sink is still handling an earlier one (one sent, or dispatched by
// a loop run from inside the handler). The sink's result is the window procedure's result. The
// messages of the window's creation are not passed on: the sink hears from the window once
// CreateMessageWindow has handed out its handle. If someone else destroys the window, the sink
// receives WM_DESTROY and WM_NCDESTROY and nothing after them. With a null sink the window only
// gets the default handling.
//
// A release while the window is delivering a message (the sink's handler releases the component,
// directly or through the component's owner) stops the deliveries at once and destroys the
// window when that delivery returns. A release from a thread other than the window's asks the
// window's thread to destroy it (by a timer on the window when that thread's queue is full). In
// both cases the component stays registered, and the module busy, until the window is gone. A
// thread that ends destroys its windows on its way out, as anyone else might destroy them.
#ifndef MIREL_FRAMEWORK_MESSAGE_WINDOW_COMPONENT_H
#define MIREL_FRAMEWORK_MESSAGE_WINDOW_COMPONENT_H

#include "component/component_impl.h"
#include "mirel/message_window.h"

struct MessageWindowRecord;

class CMessageWindow : public TComponentImpl<IMessageWindow, kMessageWindowComponentId> {
public:
    CMessageWindow();

    // Returns 1 and stores the new window's handle in *phWnd; 0, with *phWnd null and a
    // diagnostic line, when phWnd is null, no window could be made, or the component still has a
    // live window (one window per component; after someone else has destroyed it, a new one may
    // be made).
    int32_t CreateMessageWindow(HWND* phWnd, IMessageSink* pSink) override;

    // The common release path, followed, when the window's destruction had to wait, by the
    // hand-over that lets the window's thread finish the release.
    void Release(int32_t nForce) override;
    void Shutdown() override;

    // Ends a release that waited for the window: called once, by whichever thread sees both the
    // window gone and the waiting Release returned. Destroys the component.
    void FinishHeldRelease();

private:
    using Base = TComponentImpl<IMessageWindow, kMessageWindowComponentId>;

    MessageWindowRecord* m_pRecord;  // the window this component made; null when none
    MessageWindowRecord*
        m_pHeldRecord;  // while held: the window whose destruction the release awaits
    // Points into the frame of the Release call in progress, whose Shutdown sets it when the
    // release has to wait; the flag outlives the object when the base release destroys it.
    bool* m_pbReleaseHeld;
};

// The creation function registered under component ID 33.
IComponent* CreateMessageWindowComponent();

#endif  // MIREL_FRAMEWORK_MESSAGE_WINDOW_COMPONENT_H
