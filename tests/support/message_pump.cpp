#include "tests/support/message_pump.h"

#include "platform/windows_api.h"

namespace {

void DispatchPending() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

}  // namespace

void PumpMessages(unsigned nMilliseconds) {
    PumpMessagesUntil([] { return false; }, nMilliseconds);
}

bool PumpMessagesUntil(const std::function<bool()>& condition, unsigned nTimeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        DispatchPending();
        if (condition()) {
            return true;
        }
        if (GetTickCount() - start >= nTimeoutMs) {
            return condition();
        }
        Sleep(1);
    }
}
