// A host whose loop is its own epoll: the timer service's messages arrive through the thread's
// queue descriptor, beside a pipe that another thread of the host writes to.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "demo/event_loops/timer_load.h"
#include "platform/posix_extensions.h"
#include "platform/windows_api.h"

namespace {

// Reads whatever the pipe holds without blocking; returns the byte count.
long ReadPipe(int nFd) {
    long nRead = 0;
    char buffer[64];
    ssize_t nGot;
    while ((nGot = read(nFd, buffer, sizeof buffer)) > 0) {
        nRead += nGot;
    }
    return nRead;
}

}  // namespace

int main() {
    const int nQueueFd = MirelGetQueueDescriptor();
    int pipeFds[2];
    const int nEpollFd = epoll_create1(EPOLL_CLOEXEC);
    if (nQueueFd < 0 || pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0 || nEpollFd < 0) {
        fprintf(stderr, "epoll: no descriptors (error %u, errno %d)\n",
                static_cast<unsigned>(GetLastError()), errno);
        return 1;
    }
    epoll_event event{};
    event.events = EPOLLIN;  // level-triggered, as the queue descriptor is
    event.data.fd = nQueueFd;
    epoll_ctl(nEpollFd, EPOLL_CTL_ADD, nQueueFd, &event);
    event.data.fd = pipeFds[0];
    epoll_ctl(nEpollFd, EPOLL_CTL_ADD, pipeFds[0], &event);

    // The host's other work: a byte every 20 ms from a thread of its own.
    std::atomic<bool> bProducing{true};
    std::atomic<long> nWritten{0};
    std::thread producer([&] {
        while (bProducing) {
            if (write(pipeFds[1], "x", 1) == 1) {
                ++nWritten;
            }
            usleep(20000);
        }
    });

    CTimerLoad load;
    if (!load.Start()) {
        return 1;
    }
    long nPipeBytes = 0;
    bool bRunning = true;
    while (bRunning) {
        epoll_event ready[2];
        const int nReady = epoll_wait(nEpollFd, ready, 2, -1);
        for (int i = 0; i < nReady; ++i) {
            if (ready[i].data.fd == nQueueFd) {
                bRunning = DispatchQueuedMessages() && bRunning;
            } else {
                nPipeBytes += ReadPipe(pipeFds[0]);
            }
        }
    }

    bProducing = false;
    producer.join();
    nPipeBytes += ReadPipe(pipeFds[0]);
    printf("epoll: %ld of %ld bytes the host wrote to its pipe read in the same loop\n", nPipeBytes,
           nWritten.load());
    close(nEpollFd);
    close(pipeFds[0]);
    close(pipeFds[1]);
    const int nStatus = load.Finish("epoll");
    return nPipeBytes == nWritten && nWritten > 0 ? nStatus : 1;
}
