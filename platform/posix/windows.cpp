// Window classes and message-only windows: the process-wide table behind every handle, creation
// with WM_NCCREATE and WM_CREATE, destruction with WM_DESTROY and WM_NCDESTROY, and the
// look-ups other threads make (IsWindow, GetWindowThreadProcessId). A window belongs to the
// thread that created it: its queue receives the window's messages and timers.
#include <strings.h>
#include <unistd.h>

#include <memory>

#include "platform/posix/message_queue.h"

namespace mirel_ui {

struct CWindowClass {
    std::string strName;  // compared without regard to case, as Windows does
    HINSTANCE hInstance;
    WNDPROC pfnWndProc;
    UINT nStyle;
    ATOM nAtom;
    size_t nWindows;  // live windows of the class; while any lives it cannot be unregistered
};

namespace {

// Handles count up in steps of two from here, as Windows' user handles do, and wrap only after
// about a billion windows, so that a stale handle of a destroyed window does not soon name a new
// one. The range stays clear of null and of pseudo-handles such as HWND_MESSAGE.
constexpr uintptr_t kFirstHandle = 0x00010020;
constexpr uintptr_t kLastHandle = 0x7FFFFFF0;
// Class atoms live where Windows puts string atoms.
constexpr ATOM kFirstAtom = 0xC000;

struct CUserState {
    std::shared_mutex mutex;
    std::unordered_map<uintptr_t, std::unique_ptr<CWindowRecord>> windows;
    std::vector<std::unique_ptr<CWindowClass>> classes;
    uintptr_t nNextHandle = kFirstHandle;
    ATOM nNextAtom = kFirstAtom;
};

// Never destroyed: modules unloaded at exit may still kill timers or destroy windows after this
// library's own static objects would have gone.
CUserState& State() {
    static CUserState* s_pState = new CUserState;
    return *s_pState;
}

uintptr_t HandleValue(HWND hWnd) {
    return reinterpret_cast<uintptr_t>(hWnd);
}

// MAKEINTATOM: a class name given as an atom in the low word of the pointer.
bool IsAtomName(LPCSTR lpszName) {
    return reinterpret_cast<uintptr_t>(lpszName) < 0x10000;
}

// Finds a class by name or atom: the one registered for this instance, else a global one.
// The caller holds the lock.
CWindowClass* FindClassLocked(LPCSTR lpszName, HINSTANCE hInstance, bool bGlobalToo) {
    CUserState& state = State();
    auto matches = [lpszName](const CWindowClass& windowClass) {
        if (IsAtomName(lpszName)) {
            return windowClass.nAtom == static_cast<ATOM>(reinterpret_cast<uintptr_t>(lpszName));
        }
        return strcasecmp(windowClass.strName.c_str(), lpszName) == 0;
    };
    for (const auto& pClass : state.classes) {
        if (pClass->hInstance == hInstance && matches(*pClass)) {
            return pClass.get();
        }
    }
    if (bGlobalToo) {
        for (const auto& pClass : state.classes) {
            if ((pClass->nStyle & CS_GLOBALCLASS) != 0 && matches(*pClass)) {
                return pClass.get();
            }
        }
    }
    return nullptr;
}

// 0 when every atom of the range is taken.
ATOM NextAtomLocked() {
    CUserState& state = State();
    for (size_t nTried = 0; nTried <= 0xFFFF - kFirstAtom; ++nTried) {
        ATOM nAtom = state.nNextAtom;
        state.nNextAtom = nAtom == 0xFFFF ? kFirstAtom : static_cast<ATOM>(nAtom + 1);
        bool bInUse = false;
        for (const auto& pClass : state.classes) {
            bInUse = bInUse || pClass->nAtom == nAtom;
        }
        if (!bInUse) {
            return nAtom;
        }
    }
    return 0;
}

HWND NextHandleLocked() {
    CUserState& state = State();
    for (;;) {
        uintptr_t nValue = state.nNextHandle;
        state.nNextHandle = nValue >= kLastHandle ? kFirstHandle : nValue + 2;
        if (state.windows.find(nValue) == state.windows.end()) {
            return reinterpret_cast<HWND>(nValue);
        }
    }
}

// Marks a live window as being destroyed. False when it is gone or already on its way out.
bool BeginDestruction(HWND hWnd) {
    std::unique_lock<std::shared_mutex> lock(State().mutex);
    CWindowRecord* pWindow = FindWindowLocked(hWnd);
    if (pWindow == nullptr || pWindow->bDestroying) {
        return false;
    }
    pWindow->bDestroying = true;
    return true;
}

// Takes a window out of the table and drops what its queue still holds for it. After this no
// thread can post to it or set a timer on it. Runs on the owner thread.
void RemoveWindow(HWND hWnd, CThreadQueue* pQueue) {
    {
        std::unique_lock<std::shared_mutex> lock(State().mutex);
        auto it = State().windows.find(HandleValue(hWnd));
        if (it == State().windows.end()) {
            return;
        }
        it->second->pClass->nWindows--;
        State().windows.erase(it);
    }
    // Anything another thread added since it looked the window up under the shared lock is
    // already in the queue now, so this sweep catches it.
    pQueue->ForgetWindow(hWnd);
    pQueue->RemoveOwnWindow(hWnd);
}

}  // namespace

std::shared_mutex& WindowTableLock() {
    return State().mutex;
}

CWindowRecord* FindWindowLocked(HWND hWnd) {
    auto& windows = State().windows;
    auto it = windows.find(HandleValue(hWnd));
    return it == windows.end() ? nullptr : it->second.get();
}

void ForgetThreadWindows(const CThreadQueue* pQueue) {
    std::unique_lock<std::shared_mutex> lock(State().mutex);
    auto& windows = State().windows;
    for (auto it = windows.begin(); it != windows.end();) {
        if (it->second->pQueue == pQueue) {
            it->second->pClass->nWindows--;
            it = windows.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace mirel_ui

using mirel_ui::CWindowClass;
using mirel_ui::CWindowRecord;
using mirel_ui::State;

extern "C" {

// ----- Classes -------------------------------------------------------------------------------

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass) {
    // A class without a name or a procedure could only fail later, when a window of it is made
    // or gets a message; it is refused now instead.
    if (lpWndClass == nullptr || lpWndClass->lpszClassName == nullptr ||
        mirel_ui::IsAtomName(lpWndClass->lpszClassName) || lpWndClass->lpfnWndProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::unique_lock<std::shared_mutex> lock(State().mutex);
    const bool bGlobal = (lpWndClass->style & CS_GLOBALCLASS) != 0;
    if (mirel_ui::FindClassLocked(lpWndClass->lpszClassName, lpWndClass->hInstance, bGlobal) !=
        nullptr) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    const ATOM nAtom = mirel_ui::NextAtomLocked();
    if (nAtom == 0) {
        SetLastError(mirel_ui::kErrorNotEnoughMemory);
        return 0;
    }
    auto pClass = std::make_unique<CWindowClass>();
    pClass->strName = lpWndClass->lpszClassName;
    pClass->hInstance = lpWndClass->hInstance;
    pClass->pfnWndProc = lpWndClass->lpfnWndProc;
    pClass->nStyle = lpWndClass->style;
    pClass->nAtom = nAtom;
    pClass->nWindows = 0;
    State().classes.push_back(std::move(pClass));
    return nAtom;
}

BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance) {
    if (lpClassName == nullptr) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    std::unique_lock<std::shared_mutex> lock(State().mutex);
    CWindowClass* pClass = mirel_ui::FindClassLocked(lpClassName, hInstance, true);
    if (pClass == nullptr) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (pClass->nWindows != 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    auto& classes = State().classes;
    for (auto it = classes.begin(); it != classes.end(); ++it) {
        if (it->get() == pClass) {
            classes.erase(it);
            break;
        }
    }
    return TRUE;
}

// ----- Creation ------------------------------------------------------------------------------

// Every window is a message-only window: the parent must be HWND_MESSAGE or null (there is no
// desktop to show a window on, so a top-level window behaves as a message-only one). Child
// windows are not supported and are refused rather than made with half their behaviour.
HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle,
                            int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                            HINSTANCE hInstance, LPVOID lpParam) {
    if (hWndParent != nullptr && hWndParent != HWND_MESSAGE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (lpClassName == nullptr) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    mirel_ui::CThreadQueue& queue = mirel_ui::CurrentQueue();
    HWND hWnd = nullptr;
    WNDPROC pfnWndProc = nullptr;
    {
        std::unique_lock<std::shared_mutex> lock(State().mutex);
        CWindowClass* pClass = mirel_ui::FindClassLocked(lpClassName, hInstance, true);
        if (pClass == nullptr) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        hWnd = mirel_ui::NextHandleLocked();
        pfnWndProc = pClass->pfnWndProc;
        auto pWindow = std::make_unique<CWindowRecord>();
        pWindow->hWnd = hWnd;
        pWindow->pfnWndProc = pfnWndProc;
        pWindow->dwThreadId = queue.ThreadId();
        pWindow->pQueue = &queue;
        pWindow->pClass = pClass;
        pWindow->bDestroying = false;
        pClass->nWindows++;
        State().windows.emplace(mirel_ui::HandleValue(hWnd), std::move(pWindow));
    }
    queue.AddOwnWindow(hWnd, pfnWndProc);

    CREATESTRUCTA create{};
    create.lpCreateParams = lpParam;
    create.hInstance = hInstance;
    create.hMenu = hMenu;
    create.hwndParent = hWndParent;
    create.cy = nHeight;
    create.cx = nWidth;
    create.y = Y;
    create.x = X;
    create.style = static_cast<LONG>(dwStyle);
    create.lpszName = lpWindowName;
    create.lpszClass = lpClassName;
    create.dwExStyle = dwExStyle;
    LPARAM lCreate = reinterpret_cast<LPARAM>(&create);

    // The window exists (IsWindow answers TRUE) while its procedure sees these two messages.
    // When either refuses, the procedure gets WM_NCDESTROY, so it can free what it set up for
    // the window, and the handle goes away. A procedure that destroys the window itself during
    // creation gets the usual destruction messages from that call, and creation fails too.
    LRESULT lResult = pfnWndProc(hWnd, WM_NCCREATE, 0, lCreate);
    if (IsWindow(hWnd) && lResult != 0) {
        lResult = pfnWndProc(hWnd, WM_CREATE, 0, lCreate);
        if (IsWindow(hWnd) && lResult != -1) {
            return hWnd;
        }
    }
    if (mirel_ui::BeginDestruction(hWnd)) {
        pfnWndProc(hWnd, WM_NCDESTROY, 0, 0);
        mirel_ui::RemoveWindow(hWnd, &queue);
    }
    return nullptr;
}

LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    (void)wParam;
    (void)lParam;
    switch (Msg) {
        case WM_NCCREATE:
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(hWnd);
            return 0;
        default:
            return 0;
    }
}

// ----- Destruction ---------------------------------------------------------------------------

// Only the owner thread may destroy a window. The procedure gets WM_DESTROY and then
// WM_NCDESTROY, synchronously, while the window still exists; then the handle is gone, with
// the window's timers and the messages still posted to it.
BOOL WINAPI DestroyWindow(HWND hWnd) {
    WNDPROC pfnWndProc = nullptr;
    mirel_ui::CThreadQueue* pQueue = nullptr;
    {
        std::unique_lock<std::shared_mutex> lock(State().mutex);
        CWindowRecord* pWindow = mirel_ui::FindWindowLocked(hWnd);
        if (pWindow == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (pWindow->dwThreadId != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        // A DestroyWindow from inside WM_DESTROY or WM_NCDESTROY finds the window on its way
        // out already; the outer call finishes the job.
        if (pWindow->bDestroying) {
            return TRUE;
        }
        pWindow->bDestroying = true;
        pfnWndProc = pWindow->pfnWndProc;
        pQueue = pWindow->pQueue;
    }
    pfnWndProc(hWnd, WM_DESTROY, 0, 0);
    pfnWndProc(hWnd, WM_NCDESTROY, 0, 0);
    mirel_ui::RemoveWindow(hWnd, pQueue);
    return TRUE;
}

// ----- Questions any thread may ask ----------------------------------------------------------

BOOL WINAPI IsWindow(HWND hWnd) {
    if (hWnd == nullptr) {
        return FALSE;
    }
    std::shared_lock<std::shared_mutex> lock(State().mutex);
    return mirel_ui::FindWindowLocked(hWnd) != nullptr ? TRUE : FALSE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, DWORD* lpdwProcessId) {
    DWORD dwThreadId = 0;
    {
        std::shared_lock<std::shared_mutex> lock(State().mutex);
        CWindowRecord* pWindow = mirel_ui::FindWindowLocked(hWnd);
        if (pWindow == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        dwThreadId = pWindow->dwThreadId;
    }
    if (lpdwProcessId != nullptr) {
        *lpdwProcessId = static_cast<DWORD>(getpid());
    }
    return dwThreadId;
}

}  // extern "C"
