// MirelGetQueueDescriptor: a thread's message queue as one descriptor that a host's own event loop
// waits on beside its other descriptors. How the queue keeps it readable exactly while
// PeekMessageA would find something is in thread_queue.cpp.
#include "platform/posix/queue_descriptor.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "platform/posix/thread_queue.h"
#include "platform/posix_extensions.h"

namespace mirel_ui {

// ----- The descriptor ------------------------------------------------------------------------

namespace {

// A full descriptor table is what the host can do something about; every other failure of these
// calls means the kernel is short of memory.
DWORD WindowsErrorOf(int nErrno) {
    return nErrno == EMFILE || nErrno == ENFILE ? ERROR_TOO_MANY_OPEN_FILES
                                                : ERROR_NOT_ENOUGH_MEMORY;
}

bool Watch(int nEpollFd, int nFd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = nFd;
    return epoll_ctl(nEpollFd, EPOLL_CTL_ADD, nFd, &event) == 0;
}

}  // namespace

std::unique_ptr<CQueueDescriptor> CQueueDescriptor::Create(DWORD* pdwError) {
    const int nEpollFd = epoll_create1(EPOLL_CLOEXEC);
    const int nEventFd = nEpollFd < 0 ? -1 : eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int nTimerFd = nEventFd < 0 ? -1 : CreateTimerFd(TFD_CLOEXEC | TFD_NONBLOCK);
    if (nTimerFd >= 0 && Watch(nEpollFd, nEventFd) && Watch(nEpollFd, nTimerFd)) {
        std::unique_ptr<CQueueDescriptor> pDescriptor(
            new (std::nothrow) CQueueDescriptor(nEpollFd, nEventFd, nTimerFd));
        if (pDescriptor != nullptr) {
            return pDescriptor;
        }
        errno = ENOMEM;
    }
    *pdwError = WindowsErrorOf(errno);
    if (nTimerFd >= 0) {
        CloseTimerFd(nTimerFd);
    }
    for (int nFd : {nEventFd, nEpollFd}) {
        if (nFd >= 0) {
            close(nFd);
        }
    }
    return nullptr;
}

CQueueDescriptor::CQueueDescriptor(int nEpollFd, int nEventFd, int nTimerFd)
    : m_nEpollFd(nEpollFd), m_nEventFd(nEventFd), m_nTimerFd(nTimerFd) {}

CQueueDescriptor::~CQueueDescriptor() {
    CloseTimerFd(m_nTimerFd);
    close(m_nEventFd);
    close(m_nEpollFd);
}

void CQueueDescriptor::ArmTimer(int64_t nWhen) {
    // Arming also clears an expiry the timerfd still reports, so a timer that is no longer due
    // stops making the descriptor readable.
    ArmTimerFdAt(m_nTimerFd, nWhen);
    m_nArmedFor = nWhen;
}

void CQueueDescriptor::Reflect(bool bMessageWaits, int64_t nEarliestDue, int64_t nKnownNow) {
    if (bMessageWaits != m_bEventSet) {
        // Neither call can fail on an eventfd of our own whose count we track: the write adds 1
        // to 0, the read takes a count of 1.
        uint64_t nCount = 1;
        if ((bMessageWaits ? write(m_nEventFd, &nCount, sizeof nCount)
                           : read(m_nEventFd, &nCount, sizeof nCount)) < 0) {
        }
        m_bEventSet = bMessageWaits;
    }
    if (nEarliestDue == m_nArmedFor) {
        return;  // the timerfd fires at that time, or has fired for it
    }
    // A timer is due and the timerfd has fired for an earlier one: it stays readable as it is.
    if (nEarliestDue <= nKnownNow && m_nArmedFor <= nKnownNow) {
        return;
    }
    // Not due yet: armed for the due time, which also clears a past expiry. Due already, or by
    // now without the clock having been read again: a due time in the past fires at once.
    ArmTimer(nEarliestDue);
}

}  // namespace mirel_ui

extern "C" {

int MirelGetQueueDescriptor(void) {
    try {
        return mirel_ui::CurrentQueue().Descriptor();
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
}

}  // extern "C"
