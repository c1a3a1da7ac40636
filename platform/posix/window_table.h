// The process-wide table of windows and window classes behind every handle of the POSIX
// stand-ins. Any thread; the table's lock comes before any queue's mutex, never after.
#ifndef MIREL_PLATFORM_POSIX_WINDOW_TABLE_H
#define MIREL_PLATFORM_POSIX_WINDOW_TABLE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/posix/thread_queue.h"
#include "platform/windows_api.h"

// The library exports the Windows calls only; its own plumbing stays inside it.
#pragma GCC visibility push(hidden)

namespace mirel_ui {

// Handles count up in steps of two from here, as Windows' user handles do, and wrap only after
// about a billion windows, so that a stale handle of a destroyed window does not soon name a new
// one. The range stays clear of null and of pseudo-handles such as HWND_MESSAGE.
constexpr uintptr_t kFirstHandle = 0x00010020;
constexpr uintptr_t kLastHandle = 0x7FFFFFF0;
// Class atoms live where Windows puts string atoms.
constexpr ATOM kFirstAtom = 0xC000;

struct PosixWindowClass {
    std::string strName;  // compared without regard to case, as Windows does
    HINSTANCE hInstance;
    WNDPROC pfnWndProc;
    UINT nStyle;
    ATOM nAtom;
    size_t nWindows;  // live windows of the class; while any lives it cannot be unregistered
};

struct PosixWindowRecord {
    HWND hWnd;
    WNDPROC pfnWndProc;
    DWORD dwThreadId;
    CThreadQueue* pQueue;  // the owner thread's queue; lives as long as the record
    PosixWindowClass* pClass;
    bool bDestroying;  // touched by the owner thread only, under the exclusive lock
};

struct PosixWindowTable {
    std::shared_mutex mutex;
    std::unordered_map<uintptr_t, std::unique_ptr<PosixWindowRecord>> windows;
    std::vector<std::unique_ptr<PosixWindowClass>> classes;
    uintptr_t nNextHandle = kFirstHandle;
    ATOM nNextAtom = kFirstAtom;
};

// The table itself; never destroyed, as modules unloaded at exit may still kill timers or destroy
// windows after this library's own static objects would have gone.
PosixWindowTable& State();

// The handle's value as the table's key.
uintptr_t HandleValue(HWND hWnd);
// MAKEINTATOM: a class name given as an atom in the low word of the pointer.
bool IsAtomName(LPCSTR lpszName);
// Finds a class by name or atom: the one registered for this instance, else a global one (with
// bGlobalToo). The caller holds the lock.
PosixWindowClass* FindClassLocked(LPCSTR lpszName, HINSTANCE hInstance, bool bGlobalToo);
// A free class atom, or 0 when every atom of the range is taken. The caller holds the lock.
ATOM NextAtomLocked();
// A handle no live window has. The caller holds the lock.
HWND NextHandleLocked();
// Marks a live window as being destroyed. False when it is gone or already on its way out.
bool BeginDestruction(HWND hWnd);
// Takes a window out of the table and drops what its queue still holds for it. After this no
// thread can post to it or set a timer on it. Runs on the owner thread.
void RemoveWindow(HWND hWnd, CThreadQueue* pQueue);

// Guards the windows and the classes. Shared for look-ups and for work on a window's queue (so
// that neither the window nor the queue can end meanwhile), exclusive for changes to the table.
std::shared_mutex& WindowTableLock();
// The record of a live window, or null. The caller holds WindowTableLock().
PosixWindowRecord* FindWindowLocked(HWND hWnd);

// Calls fnAction with the queue of the thread that owns hWnd, holding the window table's shared
// lock so that the window, and with it the queue, stays alive meanwhile. Any thread may call it.
// When hWnd names no live window, sets ERROR_INVALID_WINDOW_HANDLE and returns false.
template <typename Action>
bool WithOwnerQueue(HWND hWnd, Action&& fnAction) {
    std::shared_lock<std::shared_mutex> lock(WindowTableLock());
    PosixWindowRecord* pWindow = FindWindowLocked(hWnd);
    if (pWindow == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    fnAction(*pWindow->pQueue);
    return true;
}
// Forgets the windows of a thread that is ending, as Windows destroys them, without messages.
void ForgetThreadWindows(const CThreadQueue* pQueue);

}  // namespace mirel_ui

#pragma GCC visibility pop

#endif  // MIREL_PLATFORM_POSIX_WINDOW_TABLE_H
