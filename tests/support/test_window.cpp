#include "tests/support/test_window.h"

#include <stdio.h>

#include <future>
#include <mutex>
#include <string>

const char* const kTestWindowClass = "MirelTestWindow";

namespace {

std::mutex g_logMutex;
std::vector<LoggedMessage> g_log;
thread_local LRESULT t_nextCreateResult = 0;

LRESULT CALLBACK RecordingWndProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    LoggedMessage entry{hWnd,           nMessage,      wParam, lParam, GetCurrentThreadId(),
                        IsWindow(hWnd), GetTickCount()};
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

void RegisterRecordingClass() {
    static std::once_flag s_once;
    std::call_once(s_once, [] { RegisterTestClass(kTestWindowClass, RecordingWndProc); });
}

}  // namespace

void CMessageLog::Clear() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.clear();
}

std::vector<LoggedMessage> CMessageLog::All() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log;
}

std::vector<LoggedMessage> CMessageLog::Of(HWND hWnd, UINT nMessage, WPARAM wParam) {
    std::vector<LoggedMessage> matching;
    std::lock_guard<std::mutex> lock(g_logMutex);
    for (const LoggedMessage& entry : g_log) {
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

ATOM RegisterTestClass(const char* szClassName, WNDPROC pfnWndProc) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = pfnWndProc;
    windowClass.lpszClassName = szClassName;
    return RegisterClassA(&windowClass);
}

HWND CreateMessageWindow(const char* szClassName, LPVOID lpParam) {
    return CreateWindowExA(0, szClassName, "test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                           lpParam);
}

HWND CreateTestWindow(LPVOID lpParam) {
    RegisterRecordingClass();
    return CreateMessageWindow(kTestWindowClass, lpParam);
}

namespace {

std::string ToHex(UINT nValue) {
    char szText[16];
    snprintf(szText, sizeof(szText), "%x", nValue);
    return szText;
}

std::string Describe(const std::vector<MSG>& messages) {
    std::string text;
    for (const MSG& msg : messages) {
        text += " 0x" + ToHex(msg.message) + "(" + std::to_string(msg.wParam) + ")";
    }
    return text.empty() ? " none" : text;
}

}  // namespace

::testing::AssertionResult MatchesSequence(const std::vector<MSG>& messages,
                                           const std::vector<ExpectedMessage>& expected) {
    for (size_t i = 0; i < expected.size() || i < messages.size(); ++i) {
        const ExpectedMessage* pRow = i < expected.size() ? &expected[i] : nullptr;
        const MSG* pMsg = i < messages.size() ? &messages[i] : nullptr;
        const bool bSame =
            pRow != nullptr && pMsg != nullptr && pRow->nMessage == pMsg->message &&
            (pRow->wParam == ExpectedMessage::kAnyParam || pRow->wParam == pMsg->wParam) &&
            (pRow->lParam == ExpectedMessage::kAnyLParam || pRow->lParam == pMsg->lParam) &&
            (pRow->hWnd == ExpectedMessage::AnyWindow() || pRow->hWnd == pMsg->hwnd);
        if (!bSame) {
            std::vector<MSG> wanted;
            for (const ExpectedMessage& row : expected) {
                MSG msg{};
                msg.message = row.nMessage;
                msg.wParam = row.wParam;
                wanted.push_back(msg);
            }
            return ::testing::AssertionFailure()
                   << "message " << i << " differs; expected" << Describe(wanted) << ", got"
                   << Describe(messages);
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult MatchesSequence(const std::vector<LoggedMessage>& messages,
                                           const std::vector<ExpectedMessage>& expected) {
    std::vector<MSG> received;
    for (const LoggedMessage& entry : messages) {
        MSG msg{};
        msg.hwnd = entry.hWnd;
        msg.message = entry.nMessage;
        msg.wParam = entry.wParam;
        msg.lParam = entry.lParam;
        received.push_back(msg);
    }
    return MatchesSequence(received, expected);
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
