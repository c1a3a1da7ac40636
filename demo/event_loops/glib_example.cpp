// A host whose loop is GLib's main loop: the thread's queue descriptor as a g_unix_fd_add source.
#include <glib-unix.h>
#include <glib.h>
#include <stdio.h>

#include "demo/event_loops/timer_load.h"
#include "platform/posix_extensions.h"
#include "platform/windows_api.h"

namespace {

gboolean OnQueueReadable(gint nFd, GIOCondition condition, gpointer pLoop) {
    (void)nFd;
    (void)condition;
    if (DispatchQueuedMessages()) {
        return G_SOURCE_CONTINUE;
    }
    g_main_loop_quit(static_cast<GMainLoop*>(pLoop));
    return G_SOURCE_REMOVE;
}

}  // namespace

int main() {
    const int nQueueFd = MirelGetQueueDescriptor();
    if (nQueueFd < 0) {
        fprintf(stderr, "GLib: no queue descriptor (error %u)\n",
                static_cast<unsigned>(GetLastError()));
        return 1;
    }
    GMainLoop* pLoop = g_main_loop_new(nullptr, FALSE);
    g_unix_fd_add(nQueueFd, G_IO_IN, OnQueueReadable, pLoop);
    CTimerLoad load;
    if (!load.Start()) {
        return 1;
    }
    g_main_loop_run(pLoop);
    g_main_loop_unref(pLoop);
    return load.Finish("GLib");
}
