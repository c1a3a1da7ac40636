#include "tests/support/test_window.h"

#include <future>
#include <mutex>

const char* const kTestWindowClass = "MirelTestWindow";

namespace {

std::mutex g_logMutex;
std::vector<CLoggedMessage> g_log;
thread_local LRESULT t_nextCreateResult = 0;

LRESULT CALLBACK RecordingWndProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    CLoggedMessage entry{hWnd,           nMessage,        wParam, lParam, GetCurrentThreadId(),
                         IsWindow(hWnd), TestClock::now()};
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        g_log.push_back(entry);
    }
    switch (nMessage) {
        case WM_CREATE: {
            LRESULT lResult = t_nextCreateResult;
            t_nextCreateResult = 0;
            return lResult;
        }
        case kQuitLoopMessage:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcA(hWnd, nMessage, wParam, lParam);
    }
}

void RegisterTestClass() {
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = RecordingWndProc;
        windowClass.lpszClassName = kTestWindowClass;
        RegisterClassA(&windowClass);
    });
}

}  // namespace

void CMessageLog::Clear() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.clear();
}

std::vector<CLoggedMessage> CMessageLog::All() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log;
}

std::vector<CLoggedMessage> CMessageLog::Of(HWND hWnd, UINT nMessage, WPARAM wParam) {
    std::vector<CLoggedMessage> matching;
    std::lock_guard<std::mutex> lock(g_logMutex);
    for (const CLoggedMessage& entry : g_log) {
        if (entry.hWnd == hWnd && entry.nMessage == nMessage &&
            (wParam == ~WPARAM(0) || entry.wParam == wParam)) {
            matching.push_back(entry);
        }
    }
    return matching;
}

size_t CMessageLog::Count(HWND hWnd, UINT nMessage, WPARAM wParam) {
    return Of(hWnd, nMessage, wParam).size();
}

void SetNextCreateResult(LRESULT lResult) {
    t_nextCreateResult = lResult;
}

HWND CreateTestWindow(LPVOID lpParam) {
    RegisterTestClass();
    return CreateWindowExA(0, kTestWindowClass, "test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           nullptr, lpParam);
}

bool PumpUntil(const std::function<bool()>& done, DWORD dwTimeoutMs) {
    const UINT_PTR nGuard = SetTimer(nullptr, 0, dwTimeoutMs, nullptr);
    MSG msg;
    while (!done()) {
        if (GetMessageA(&msg, nullptr, 0, 0) <= 0) {
            break;
        }
        if (msg.hwnd == nullptr && msg.message == WM_TIMER && msg.wParam == nGuard) {
            break;
        }
        DispatchMessageA(&msg);
    }
    KillTimer(nullptr, nGuard);
    return done();
}

void PumpFor(DWORD dwMs) {
    PumpUntil([] { return false; }, dwMs);
}

bool WaitUntil(const std::function<bool()>& done, DWORD dwTimeoutMs) {
    const TestClock::time_point deadline =
        TestClock::now() + std::chrono::milliseconds(dwTimeoutMs);
    while (!done()) {
        if (TestClock::now() > deadline) {
            return false;
        }
        Sleep(2);
    }
    return true;
}

CWindowThread::CWindowThread() {
    std::promise<std::pair<HWND, DWORD>> started;
    auto startedFuture = started.get_future();
    m_thread = std::thread([started = std::move(started)]() mutable {
        HWND hWnd = CreateTestWindow();
        started.set_value({hWnd, GetCurrentThreadId()});
        if (hWnd == nullptr) {
            return;
        }
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            DispatchMessageA(&msg);
        }
        DestroyWindow(hWnd);
    });
    auto [hWnd, dwThreadId] = startedFuture.get();
    m_hWnd = hWnd;
    m_dwThreadId = dwThreadId;
}

CWindowThread::~CWindowThread() {
    if (m_hWnd != nullptr) {
        PostMessageA(m_hWnd, kQuitLoopMessage, 0, 0);
    }
    m_thread.join();
}
