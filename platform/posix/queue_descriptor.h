// The descriptor behind MirelGetQueueDescriptor: what lets a host's own event loop wait on a
// thread's message queue. Made by the owner thread and kept by its CThreadQueue, which brings it
// up to date on every change of its state, under the queue's mutex, from whichever thread makes
// the change.
#ifndef MIREL_PLATFORM_POSIX_QUEUE_DESCRIPTOR_H
#define MIREL_PLATFORM_POSIX_QUEUE_DESCRIPTOR_H

#include <cstdint>
#include <memory>

#include "platform/posix/tick_count.h"
#include "platform/windows_api.h"

#pragma GCC visibility push(hidden)

namespace mirel_ui {

// An epoll descriptor over two others, both level-triggered, so that it is readable while either
// is: an eventfd that holds a count while a posted message or WM_QUIT waits, and a one-shot
// timerfd armed for the earliest timer's due time. The eventfd answers at once, from any thread;
// the timerfd lets the kernel say when a timer falls due, with no one awake to look.
class CQueueDescriptor {
public:
    // A new descriptor, or null with the Windows error code in *pdwError.
    static std::unique_ptr<CQueueDescriptor> Create(DWORD* pdwError);
    ~CQueueDescriptor();
    CQueueDescriptor(const CQueueDescriptor&) = delete;
    CQueueDescriptor& operator=(const CQueueDescriptor&) = delete;

    int Descriptor() const { return m_nEpollFd; }

    // Makes the descriptor readable exactly while the queue holds something for PeekMessageA:
    // bMessageWaits when a posted message or WM_QUIT waits, nEarliestDue the earliest timer's due
    // time (kNever for none). The queue calls it on every change but the removal of a WM_TIMER
    // and the kill of a timer, and on every look that finds nothing: after those two the
    // descriptor may report early, never late, until that look brings it in line. nKnownNow is the
    // queue's last clock reading: a timer due by then is known to be due, and one due later is
    // simply armed for, which fires at once should its time have come meanwhile; so the clock is
    // never read here. Costs no system call while nothing that decides readability changed.
    void Reflect(bool bMessageWaits, int64_t nEarliestDue, int64_t nKnownNow);

private:
    CQueueDescriptor(int nEpollFd, int nEventFd, int nTimerFd);
    void ArmTimer(int64_t nWhen);

    const int m_nEpollFd;
    const int m_nEventFd;
    const int m_nTimerFd;
    bool m_bEventSet = false;
    // The due time the timerfd was last armed for (kNever: disarmed). Once that time has passed
    // the timerfd has fired and stays readable until it is armed again, which is what keeps the
    // descriptor readable through a drain of timers that fell due together.
    int64_t m_nArmedFor = kNever;
};

}  // namespace mirel_ui

#pragma GCC visibility pop

#endif  // MIREL_PLATFORM_POSIX_QUEUE_DESCRIPTOR_H
