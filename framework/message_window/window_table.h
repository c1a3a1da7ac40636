// CWindowTable: the message-only windows of the message-window module and the delivery of their
// messages to the sinks. It registers the module's window class once, keeps one record per window
// (outside the component, since a window may outlive its component's Release by one delivery or
// by a trip through its thread's queue), and runs the window procedure. Messages are delivered on
// the window's own thread; a release may come from any thread. Its lock is a leaf: no sink,
// DestroyWindow, PostMessageA or component call runs while it is held.
#ifndef MIREL_FRAMEWORK_WINDOW_TABLE_H
#define MIREL_FRAMEWORK_WINDOW_TABLE_H

#include <stdint.h>

#include <atomic>
#include <map>

#include "framework/critical_lock.h"
#include "mirel/message_window.h"
#include "platform/windows_api.h"

class CMessageWindow;
struct MessageWindowRecord;

constexpr char kMessageWindowClassName[] = "MirelMessageWindow";

// A release from another thread asks the window's thread with this message to destroy the window.
// The message is recognised as the module's own only with both its parameters (the record's
// address and the tag); a client's message that happens to use the same number still reaches
// the sink.
constexpr UINT kDestroyRequestMessage = WM_USER + 0x3F00;
constexpr LPARAM kDestroyRequestTag = 0x4D57;
// When the window thread's queue is full, the request becomes a timer on the window instead: it
// needs no room in the queue, and its WM_TIMER, the first message the released window gets after
// the queue has drained, ends the window as any delivery to a released window does.
constexpr UINT_PTR kDestroyRequestTimerId = 0x4D57;

class CWindowTable {
public:
    CWindowTable() = default;
    // Unregisters the class; records of windows still alive go with the module.
    ~CWindowTable();
    CWindowTable(const CWindowTable&) = delete;
    CWindowTable& operator=(const CWindowTable&) = delete;

    // Creates a message-only window owned by the calling thread whose messages go to pSink from
    // now on, and stores its handle in *phWnd. Null, with a diagnostic line, when no window could
    // be made.
    MessageWindowRecord* CreateWindowFor(IMessageSink* pSink, HWND* phWnd);

    // False once the window has been destroyed, by its component or by anyone else.
    bool IsWindowAlive(MessageWindowRecord* pRecord);

    // The component lets go of its window: no message reaches the sink any more and the window is
    // destroyed, at once when the calling thread owns it and is not delivering one of its
    // messages, otherwise by the window's thread when the delivery returns or when it receives the
    // destroy request. Returns true when the component must stay alive (held) until then; its
    // Release then calls OnReleaseReturned when it has returned from the release path.
    bool ReleaseWindow(MessageWindowRecord* pRecord, CMessageWindow* pComponent);

    // The held component's Release has returned. Whichever comes second, this or the window's
    // destruction, finishes the component's release (FinishHeldRelease).
    void OnReleaseReturned(MessageWindowRecord* pRecord);

    // The window procedure's work, on the window's thread. EndDelivery is its last step, also
    // reached when a structured exception from the sink abandons the delivery.
    LRESULT Deliver(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
    void EndDelivery(MessageWindowRecord* pRecord, HWND hWnd, UINT uMsg, int32_t nDepth);

    // The calling thread is ending (the module's DLL_THREAD_DETACH step): its windows are
    // destroyed now, while the thread can still do it, rather than dropped by the system without
    // a word. A sink still attached hears WM_DESTROY and WM_NCDESTROY as with any other
    // destruction, and a release that waits for one of these windows finishes.
    void DestroyWindowsOfEndingThread();

private:
    void SettleLocked(MessageWindowRecord* pRecord, CCriticalLockScope& scope);
    void FinishIfDoneLocked(MessageWindowRecord* pRecord, CCriticalLockScope& scope);

    CCriticalLock m_lock;
    std::map<HWND, MessageWindowRecord*> m_windows;  // windows alive, by handle
    bool m_bClassRegistered = false;
    std::atomic<bool> m_bClosed{false};  // destroyed: deliveries get the default handling
};

extern CWindowTable WindowTable;

#endif  // MIREL_FRAMEWORK_WINDOW_TABLE_H
