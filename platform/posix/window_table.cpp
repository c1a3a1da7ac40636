#include "platform/posix/window_table.h"

#include <strings.h>

namespace mirel_ui {

PosixWindowTable& State() {
    static PosixWindowTable* s_pState = new PosixWindowTable;
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
PosixWindowClass* FindClassLocked(LPCSTR lpszName, HINSTANCE hInstance, bool bGlobalToo) {
    PosixWindowTable& state = State();
    auto matches = [lpszName](const PosixWindowClass& windowClass) {
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
    PosixWindowTable& state = State();
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
    PosixWindowTable& state = State();
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
    PosixWindowRecord* pWindow = FindWindowLocked(hWnd);
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

std::shared_mutex& WindowTableLock() {
    return State().mutex;
}

PosixWindowRecord* FindWindowLocked(HWND hWnd) {
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
