#include "tests/support/message_pump.h"

namespace {

// How often the pump wakes to ask done() again and to look at the clock.
constexpr UINT kRecheckMs = 5;

}  // namespace

bool PumpMessagesUntil(const std::function<bool()>& done, DWORD dwTimeoutMs) {
    const DWORD dwStart = GetTickCount();
    const UINT_PTR nGuard = SetTimer(nullptr, 0, kRecheckMs, nullptr);
    MSG msg;
    while (!done() && GetTickCount() - dwStart < dwTimeoutMs) {
        if (GetMessageA(&msg, nullptr, 0, 0) <= 0) {
            break;
        }
        if (msg.hwnd == nullptr && msg.message == WM_TIMER && msg.wParam == nGuard) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    KillTimer(nullptr, nGuard);
    return done();
}

void PumpMessages(DWORD dwMs) {
    PumpMessagesUntil([] { return false; }, dwMs);
}
