// A host whose loop is libuv's: the thread's queue descriptor watched by a uv_poll_t.
#include <stdio.h>
#include <uv.h>

#include "demo/event_loops/timer_load.h"
#include "platform/posix_extensions.h"
#include "platform/windows_api.h"

namespace {

void OnQueueReadable(uv_poll_t* pPoll, int nStatus, int nEvents) {
    (void)nEvents;
    if (nStatus < 0 || !DispatchQueuedMessages()) {
        // Without an active handle left, uv_run returns.
        uv_close(reinterpret_cast<uv_handle_t*>(pPoll), nullptr);
    }
}

}  // namespace

int main() {
    const int nQueueFd = MirelGetQueueDescriptor();
    if (nQueueFd < 0) {
        fprintf(stderr, "libuv: no queue descriptor (error %u)\n",
                static_cast<unsigned>(GetLastError()));
        return 1;
    }
    uv_loop_t loop;
    uv_poll_t queuePoll;
    int nError = uv_loop_init(&loop);
    if (nError == 0) {
        nError = uv_poll_init(&loop, &queuePoll, nQueueFd);
    }
    if (nError == 0) {
        nError = uv_poll_start(&queuePoll, UV_READABLE, OnQueueReadable);
    }
    if (nError != 0) {
        fprintf(stderr, "libuv: %s\n", uv_strerror(nError));
        return 1;
    }
    // The timers start once the loop is ready to wait, so their first ticks are not late.
    CTimerLoad load;
    if (!load.Start()) {
        return 1;
    }
    uv_run(&loop, UV_RUN_DEFAULT);
    uv_loop_close(&loop);
    return load.Finish("libuv");
}
