// Window classes and message-only windows on the table of window_table.h: registration, creation
// with WM_NCCREATE and WM_CREATE, destruction with WM_DESTROY and WM_NCDESTROY, and the
// look-ups other threads make (IsWindow, GetWindowThreadProcessId). A window belongs to the
// thread that created it: its queue receives the window's messages and timers.
#include <strings.h>
#include <unistd.h>

#include <memory>

#include "platform/posix/out_of_memory.h"
#include "platform/posix/window_table.h"

using mirel_ui::PosixWindowClass;
using mirel_ui::PosixWindowRecord;
using mirel_ui::State;

extern "C" {

// ----- Classes -------------------------------------------------------------------------------

ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass) {
    return mirel_posix::FailOnOutOfMemory<ATOM>(0, [&]() -> ATOM {
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
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        auto pClass = std::make_unique<PosixWindowClass>();
        pClass->strName = lpWndClass->lpszClassName;
        pClass->hInstance = lpWndClass->hInstance;
        pClass->pfnWndProc = lpWndClass->lpfnWndProc;
        pClass->nStyle = lpWndClass->style;
        pClass->nAtom = nAtom;
        pClass->nWindows = 0;
        State().classes.push_back(std::move(pClass));
        return nAtom;
    });
}

BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance) {
    if (lpClassName == nullptr) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    std::unique_lock<std::shared_mutex> lock(State().mutex);
    PosixWindowClass* pClass = mirel_ui::FindClassLocked(lpClassName, hInstance, true);
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
    mirel_ui::CThreadQueue* pQueue = nullptr;
    WNDPROC pfnWndProc = nullptr;
    // Every allocation comes before the window is entered in the table, so that running out of
    // memory leaves no trace of it.
    HWND hWnd = mirel_posix::FailOnOutOfMemory<HWND>(nullptr, [&]() -> HWND {
        pQueue = &mirel_ui::CurrentQueue();
        std::unique_lock<std::shared_mutex> lock(State().mutex);
        PosixWindowClass* pClass = mirel_ui::FindClassLocked(lpClassName, hInstance, true);
        if (pClass == nullptr) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        auto pWindow = std::make_unique<PosixWindowRecord>();
        const HWND hNew = mirel_ui::NextHandleLocked();
        pfnWndProc = pClass->pfnWndProc;
        pWindow->hWnd = hNew;
        pWindow->pfnWndProc = pfnWndProc;
        pWindow->dwThreadId = pQueue->ThreadId();
        pWindow->pQueue = pQueue;
        pWindow->pClass = pClass;
        pWindow->bDestroying = false;
        pQueue->AddOwnWindow(hNew, pfnWndProc);
        try {
            State().windows.emplace(mirel_ui::HandleValue(hNew), std::move(pWindow));
        } catch (const std::bad_alloc&) {
            pQueue->RemoveOwnWindow(hNew);
            throw;
        }
        pClass->nWindows++;
        return hNew;
    });
    if (hWnd == nullptr) {
        return nullptr;
    }
    mirel_ui::CThreadQueue& queue = *pQueue;

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
        PosixWindowRecord* pWindow = mirel_ui::FindWindowLocked(hWnd);
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
        PosixWindowRecord* pWindow = mirel_ui::FindWindowLocked(hWnd);
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
