#include "tests/support/message_pump.h"

#include <chrono>
#include <thread>

#ifndef _WIN32
#include "platform/posix/test_clock.h"
#endif

namespace {

// How often the pump on a real clock wakes to ask done() again and to look at the clock.
constexpr UINT kRecheckMs = 5;

bool IsClockDriven() {
#ifdef _WIN32
    return false;
#else
    return MirelIsTestClockDriven() != 0;
#endif
}

// Counts a driven clock's moves and the real time beside them: a wait is over once both have
// reached its length (the real time alone on a real clock).
class CWaitBudget {
public:
    explicit CWaitBudget(DWORD dwMs)
        : m_bDriven(IsClockDriven()),
          m_dwMs(dwMs),
          m_realEnd(std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMs)) {}
    bool Spent() const {
        return (!m_bDriven || m_dwMoved >= m_dwMs) && std::chrono::steady_clock::now() >= m_realEnd;
    }
    bool Driven() const { return m_bDriven; }
    void MoveClock() {
        CDrivenClock::Advance(1);
        ++m_dwMoved;
    }

private:
    bool m_bDriven;
    DWORD m_dwMs;
    DWORD m_dwMoved = 0;
    std::chrono::steady_clock::time_point m_realEnd;
};

// Dispatches what the queue holds now; false once WM_QUIT came.
bool DispatchQueued(const std::function<bool()>& done) {
    MSG msg;
    while (!done() && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            return false;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return true;
}

bool PumpOnRealClock(const std::function<bool()>& done, DWORD dwTimeoutMs) {
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

}  // namespace

CDrivenClock::CDrivenClock() {
#ifndef _WIN32
    MirelDriveTestClock(1);
#endif
}

CDrivenClock::~CDrivenClock() {
#ifndef _WIN32
    MirelDriveTestClock(0);
#endif
}

void CDrivenClock::Advance(DWORD dwMs) {
    if (IsClockDriven()) {
#ifndef _WIN32
        MirelAdvanceTestClock(dwMs);
#endif
    } else {
        Sleep(dwMs);
    }
}

bool PumpMessagesUntil(const std::function<bool()>& done, DWORD dwTimeoutMs) {
    if (!IsClockDriven()) {
        return PumpOnRealClock(done, dwTimeoutMs);
    }
    CWaitBudget budget(dwTimeoutMs);
    while (DispatchQueued(done) && !done() && !budget.Spent()) {
        budget.MoveClock();
        std::this_thread::yield();
    }
    return done();
}

void PumpMessages(DWORD dwMs) {
    if (!IsClockDriven()) {
        PumpOnRealClock([] { return false; }, dwMs);
        return;
    }
    for (DWORD dwMoved = 0; DispatchQueued([] { return false; }) && dwMoved < dwMs; ++dwMoved) {
        CDrivenClock::Advance(1);
    }
}

bool WaitUntil(const std::function<bool()>& done, DWORD dwTimeoutMs) {
    CWaitBudget budget(dwTimeoutMs);
    while (!done()) {
        if (budget.Spent()) {
            return false;
        }
        if (budget.Driven()) {
            budget.MoveClock();
        }
        Sleep(budget.Driven() ? 1 : 2);
    }
    return true;
}

::testing::AssertionResult ExactlyOrWithin(int64_t nActual, int64_t nExact, int64_t nLow,
                                           int64_t nHigh) {
    const bool bGood = IsClockDriven() ? nActual == nExact : nLow <= nActual && nActual <= nHigh;
    if (bGood) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << nActual << " where " << (IsClockDriven() ? "exactly " : "") << nExact
           << " was expected" << (IsClockDriven() ? "" : " (or anything within the bounds)");
}
