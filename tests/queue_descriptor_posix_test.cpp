// The queue descriptor, a POSIX-only extension: readable exactly while PeekMessageA would find a
// posted message, WM_QUIT or a due timer, level-triggered, following every change a handler or
// another thread makes, never late, waking for nothing only once after a kill, which makes no
// system call, and -1 with an error when no descriptor can be had. The clock is driven; an advance
// fires the descriptor's timerfd, which the kernel reports a moment later, so a descriptor that
// must become readable is polled with a timeout. The real clock's path is that of the host-loop
// examples (demo/event_loops), which the tests run too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stddef.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <vector>

#include "demo/event_loops/timer_load.h"
#include "platform/posix_extensions.h"
#include "platform/windows_api.h"
#include "tests/support/system_call_ban.h"
#include "tests/support/test_window.h"

namespace {

using std::chrono::milliseconds;

class QueueDescriptorPosixTest : public CTestWindowFixture {
protected:
    void SetUp() override {
        CTestWindowFixture::SetUp();
        m_nFd = MirelGetQueueDescriptor();
        ASSERT_GE(m_nFd, 0);
    }

    // Whether the descriptor is readable within nTimeoutMs, as the host's poll would see it.
    bool Readable(int nTimeoutMs = 0) const {
        pollfd ready{m_nFd, POLLIN, 0};
        return poll(&ready, 1, nTimeoutMs) == 1 && (ready.revents & POLLIN) != 0;
    }
    // Readable within the moment the kernel may take to report what an advance made due.
    bool Reported() const { return Readable(kReportedWithinMs); }
    static constexpr int kReportedWithinMs = 2000;

    int m_nFd = -1;
};

// The host's side: every message the queue holds, taken and dispatched.
std::vector<UINT> Drain() {
    std::vector<UINT> taken;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        taken.push_back(msg.message);
        DispatchMessageA(&msg);
    }
    return taken;
}

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

TEST_F(QueueDescriptorPosixTest, ReadableExactlyWhilePeekFindsSomething) {
    UINT_PTR nThreadTimer = 0;
    struct SCase {
        const char* szName;
        std::function<void(HWND)> fnPut;
        std::vector<UINT> taken;
    };
    // Timers here have long periods and the clock moves well past their first due time, so that
    // their second one lies far beyond the checks after the drain.
    const SCase cases[] = {
        {"a posted message", [](HWND hWnd) { PostMessageA(hWnd, WM_USER, 0, 0); }, {WM_USER}},
        {"a thread message", [](HWND) { PostMessageA(nullptr, WM_USER + 1, 0, 0); }, {WM_USER + 1}},
        {"WM_QUIT", [](HWND) { PostQuitMessage(3); }, {WM_QUIT}},
        {"posts and WM_QUIT",
         [](HWND hWnd) {
             PostQuitMessage(0);
             PostMessageA(hWnd, WM_USER, 0, 0);
             PostMessageA(hWnd, WM_USER + 2, 0, 0);
         },
         {WM_USER, WM_USER + 2, WM_QUIT}},
        {"a due window timer",
         [](HWND hWnd) {
             SetTimer(hWnd, 1, 300, nullptr);
             CDrivenClock::Advance(350);
         },
         {WM_TIMER}},
        {"a due thread timer",
         [&](HWND) {
             nThreadTimer = SetTimer(nullptr, 0, 300, nullptr);
             CDrivenClock::Advance(350);
         },
         {WM_TIMER}},
        {"a timer not due yet", [](HWND hWnd) { SetTimer(hWnd, 2, 5000, nullptr); }, {}},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.szName);
        ASSERT_FALSE(Readable());
        c.fnPut(m_hWnd);
        const bool bHolds = !c.taken.empty();
        EXPECT_EQ(bHolds ? Reported() : Readable(), bHolds);
        // Level-triggered: neither being reported nor being peeked at without removal clears it.
        EXPECT_EQ(Readable(), bHolds);
        MSG msg;
        EXPECT_EQ(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE) != FALSE, bHolds);
        EXPECT_EQ(Readable(), bHolds);
        EXPECT_EQ(Drain(), c.taken);
        EXPECT_FALSE(Readable());
        KillTimer(m_hWnd, 1);
        KillTimer(m_hWnd, 2);
        KillTimer(nullptr, nThreadTimer);
    }
}

// A host that only polls and drains gets every tick at its point on the timer's grid, never
// early, and is never woken to find nothing.
TEST_F(QueueDescriptorPosixTest, DrivesATimerOnItsGridWithoutEmptyWakes) {
    ASSERT_NE(SetTimer(m_hWnd, 1, 10, nullptr), 0u);
    for (int nMs = 1; nMs <= 100; ++nMs) {
        m_clock.Advance(1);
        const bool bDue = nMs % 10 == 0;
        ASSERT_EQ(bDue ? Reported() : Readable(), bDue) << nMs << " ms";
        if (bDue) {
            ASSERT_EQ(Drain(), std::vector<UINT>{WM_TIMER});
            ASSERT_FALSE(Readable());
        }
    }
    KillTimer(m_hWnd, 1);
}

// What a change does to the descriptor, whether a timer handler makes it or another thread: it
// stays quiet until nReadableAtMs after the change, then becomes readable (-1: stays quiet).
struct SChangeCase {
    const char* szName;
    std::function<void(HWND)> fnSetUp;
    std::function<void(HWND)> fnChange;
    int nReadableAtMs;
};
const SChangeCase kChangeCases[] = {
    // A kill leaves the descriptor armed for the killed timer: it wakes the host once, at the
    // killed timer's due time, and the drain of that wake finds nothing and quiets it.
    {"killing the timer that is armed", [](HWND hWnd) { SetTimer(hWnd, 1, 100, nullptr); },
     [](HWND hWnd) { KillTimer(hWnd, 1); }, 100},
    {"setting it to a longer elapse", [](HWND hWnd) { SetTimer(hWnd, 1, 100, nullptr); },
     [](HWND hWnd) { SetTimer(hWnd, 1, 500, nullptr); }, 500},
    {"setting a timer earlier than the one armed",
     [](HWND hWnd) { SetTimer(hWnd, 1, 3000, nullptr); },
     [](HWND hWnd) { SetTimer(hWnd, 2, 60, nullptr); }, 60},
    {"posting", [](HWND) {}, [](HWND hWnd) { PostMessageA(hWnd, WM_USER, 0, 0); }, 0},
};

std::function<void(HWND)> g_fnInHandler;
void CALLBACK ChangingTimerProc(HWND hWnd, UINT, UINT_PTR nID, DWORD) {
    KillTimer(hWnd, nID);
    g_fnInHandler(hWnd);
}

class QueueDescriptorChangeTest : public QueueDescriptorPosixTest {
protected:
    // After the change: quiet until the case's time, readable from then on, and quiet again once
    // drained and the case's timers are gone. A quiet descriptor is given a few milliseconds to
    // show that an advance made it readable after all.
    void ExpectReportedAfterChange(const SChangeCase& c) {
        if (c.nReadableAtMs != 0) {
            m_clock.Advance(c.nReadableAtMs < 0 ? 250 : c.nReadableAtMs - 1);
            EXPECT_FALSE(Readable(5));
            m_clock.Advance(1);
        }
        EXPECT_EQ(c.nReadableAtMs >= 0 ? Reported() : Readable(5), c.nReadableAtMs >= 0);
        Drain();
        KillTimer(m_hWnd, 1);
        KillTimer(m_hWnd, 2);
        EXPECT_FALSE(Readable());
    }
};

TEST_F(QueueDescriptorChangeTest, FollowsChangesMadeInsideATimerHandler) {
    constexpr UINT_PTR kHandlerTimer = 9;
    for (const SChangeCase& c : kChangeCases) {
        SCOPED_TRACE(c.szName);
        // Set up inside the handler too, so that each case's times count from the change.
        g_fnInHandler = [&c](HWND hWnd) {
            c.fnSetUp(hWnd);
            c.fnChange(hWnd);
        };
        ASSERT_NE(SetTimer(m_hWnd, kHandlerTimer, 10, ChangingTimerProc), 0u);
        m_clock.Advance(10);
        ASSERT_TRUE(Reported());
        MSG msg;
        ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
        ASSERT_EQ(msg.wParam, kHandlerTimer);
        DispatchMessageA(&msg);
        ExpectReportedAfterChange(c);
    }
}

TEST_F(QueueDescriptorChangeTest, FollowsChangesMadeByAnotherThread) {
    for (const SChangeCase& c : kChangeCases) {
        SCOPED_TRACE(c.szName);
        c.fnSetUp(m_hWnd);
        std::thread(c.fnChange, m_hWnd).join();
        ExpectReportedAfterChange(c);
    }
}

// Killing timers, the earliest each time, makes no system call with the descriptor in use, as
// without it; the descriptor is then late for none of the timers left.
TEST_F(QueueDescriptorPosixTest, KillsMakeNoSystemCallAndLeaveTheRestOnTime) {
    constexpr UINT_PTR kTimers = 100;
    for (UINT_PTR n = 1; n <= kTimers; ++n) {
        ASSERT_NE(SetTimer(m_hWnd, n, static_cast<UINT>(200 + n), nullptr), 0u);
    }
    ASSERT_FALSE(Readable());
    EXPECT_EXIT(
        {
            if (!BanSystemCalls()) {
                syscall(SYS_exit_group, 2);
            }
            for (UINT_PTR n = 1; n < kTimers; ++n) {
                KillTimer(m_hWnd, n);
            }
            syscall(SYS_exit_group, 0);
        },
        ::testing::ExitedWithCode(0), "");
    for (UINT_PTR n = 1; n < kTimers; ++n) {
        KillTimer(m_hWnd, n);
    }
    // The descriptor stayed armed for the first killed timer: that wake finds nothing, and the
    // next is at the last timer's due time, neither later nor earlier.
    m_clock.Advance(201);
    ASSERT_TRUE(Reported());
    EXPECT_TRUE(Drain().empty());
    m_clock.Advance(200 + kTimers - 1 - 201);
    EXPECT_FALSE(Readable(5));
    m_clock.Advance(1);
    ASSERT_TRUE(Reported());
    EXPECT_EQ(Drain(), std::vector<UINT>{WM_TIMER});
    KillTimer(m_hWnd, kTimers);
}

// A handler slower than its period: its timer is due again at every look.
constexpr int kSlowCalls = 12;
int g_nSlowCalls = 0;
void CALLBACK SlowTimerProc(HWND hWnd, UINT, UINT_PTR nID, DWORD) {
    if (++g_nSlowCalls == kSlowCalls) {
        KillTimer(hWnd, nID);
    }
    CDrivenClock::Advance(15);
}

// The examples' drain under such a handler: every pass ends after at most the message waiting
// and one more, so the host's other descriptor, always ready, is served between passes, and
// every pass still delivers the timer, its missed periods folded.
TEST_F(QueueDescriptorPosixTest, APassEndsWhileAHandlerIsSlowerThanItsPeriod) {
    const int nOther = eventfd(1, EFD_CLOEXEC);
    const int nEpoll = epoll_create1(EPOLL_CLOEXEC);
    ASSERT_GE(nOther, 0);
    ASSERT_GE(nEpoll, 0);
    for (int nFd : {m_nFd, nOther}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = nFd;
        ASSERT_EQ(epoll_ctl(nEpoll, EPOLL_CTL_ADD, nFd, &event), 0);
    }
    g_nSlowCalls = 0;
    ASSERT_NE(SetTimer(m_hWnd, 1, 10, SlowTimerProc), 0u);
    // Per pass: the calls it made, and whether the same wait served the other descriptor.
    std::vector<std::pair<int, bool>> passes;
    while (g_nSlowCalls < kSlowCalls) {
        m_clock.Advance(1);  // the host's own work between its waits
        epoll_event ready[2];
        const int nReady = epoll_wait(nEpoll, ready, 2, 2000);
        ASSERT_GT(nReady, 0);
        const int nBefore = g_nSlowCalls;
        bool bPass = false;
        bool bOtherServed = false;
        for (int i = 0; i < nReady; ++i) {
            if (ready[i].data.fd == nOther) {
                bOtherServed = true;
            } else {
                EXPECT_TRUE(DispatchQueuedMessages());
                bPass = true;
            }
        }
        if (bPass) {
            passes.emplace_back(g_nSlowCalls - nBefore, bOtherServed);
        }
    }
    for (const auto& pass : passes) {
        EXPECT_GE(pass.first, 1);
        EXPECT_LE(pass.first, 2);
        EXPECT_TRUE(pass.second);
    }
    close(nEpoll);
    close(nOther);
}

// A host blocked in its own wait is woken by another thread's post, not at its next timeout.
TEST_F(QueueDescriptorPosixTest, AnotherThreadsPostWakesAHostBlockedInPoll) {
    std::thread poster([this] {
        Sleep(50);
        PostMessageA(m_hWnd, WM_USER, 0, 0);
    });
    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Readable(10000));
    EXPECT_LT(MillisecondsSince(start), 5000);
    poster.join();
    EXPECT_EQ(Drain(), std::vector<UINT>{WM_USER});
}

TEST(QueueDescriptorThreadPosixTest, OneDescriptorPerThreadValidUntilTheThreadEnds) {
    const int nMine = MirelGetQueueDescriptor();
    ASSERT_GE(nMine, 0);
    EXPECT_EQ(MirelGetQueueDescriptor(), nMine);
    int nTheirs = -1;
    std::thread([&nTheirs] {
        nTheirs = MirelGetQueueDescriptor();
        EXPECT_EQ(fcntl(nTheirs, F_GETFD), FD_CLOEXEC);
    }).join();
    ASSERT_GE(nTheirs, 0);
    EXPECT_NE(nTheirs, nMine);
    EXPECT_EQ(fcntl(nTheirs, F_GETFD), -1) << "still open after its thread ended";
}

// The descriptor needs three descriptors of the process; with room for none, one or two of them
// the call fails with ERROR_TOO_MANY_OPEN_FILES and keeps none, and a later call succeeds.
TEST(QueueDescriptorThreadPosixTest, AFullDescriptorTableGivesMinusOneAndLeavesNothingOpen) {
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer's runtime needs descriptors of its own while the table is full.
    GTEST_SKIP() << "not with the address sanitizer";
#endif
    std::thread([] {
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue, made beforehand
        rlimit saved;
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        const int nLowestFree = open("/dev/null", O_RDONLY);
        ASSERT_GE(nLowestFree, 0);
        close(nLowestFree);
        for (int nRoom = 0; nRoom < 3; ++nRoom) {
            SCOPED_TRACE(nRoom);
            rlimit tight = saved;
            tight.rlim_cur = static_cast<rlim_t>(nLowestFree + nRoom);
            ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
            SetLastError(ERROR_SUCCESS);
            const int nFd = MirelGetQueueDescriptor();
            ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
            EXPECT_EQ(nFd, -1);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES));
            const int nProbe = open("/dev/null", O_RDONLY);
            EXPECT_EQ(nProbe, nLowestFree) << "a descriptor was left open";
            close(nProbe);
        }
        EXPECT_GE(MirelGetQueueDescriptor(), 0);
    }).join();
}

}  // namespace
