// The debugger output: OutputDebugStringA and the sink that tests install in its place.
//
// Each string reaches its destination as one unit. Writers are serialised by one process-wide
// lock and a string is written by one write(2) where the system allows (regular files opened for
// append always do); a short write to a pipe is completed under the same lock, so no other line
// can come between its parts.
//
// The destination is chosen once, at the first line, from the environment variable
// MIREL_DEBUG_OUTPUT:
//   unset or empty   standard error;
//   "off" or "none"  nothing is written;
//   anything else    a file, given as a POSIX path or a Windows path (Z:\...), opened for append
//                    and created when missing. When it cannot be opened the lines go to standard
//                    error after one line that says so.
// A sink installed with MirelSetDebugOutputSink takes precedence over all of these.
//
// The strings are passed exactly as given: like a debugger, the destination sees no added time
// stamp or line feed, so a string without a line feed of its own runs on into the next one.
//
// All state here is plain pthread objects with static initialisers and no destructors, because
// modules may still trace while the process's static objects are being destroyed.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "platform/posix/out_of_memory.h"
#include "platform/posix/paths.h"
#include "platform/posix_extensions.h"
#include "platform/windows_api.h"

namespace {

constexpr char kDestinationVariable[] = "MIREL_DEBUG_OUTPUT";
constexpr int kSilenced = -1;

// Guards the sink; readers hold it while the sink runs, so that once MirelSetDebugOutputSink has
// returned no call of the previous sink is still in progress and its context may be destroyed.
// For the same reason a sink must not itself install another sink: it would wait for itself.
pthread_rwlock_t g_sinkLock = PTHREAD_RWLOCK_INITIALIZER;
MirelDebugOutputSink g_pfnSink = nullptr;
void* g_pSinkContext = nullptr;

pthread_once_t g_destinationOnce = PTHREAD_ONCE_INIT;
int g_destination = STDERR_FILENO;

// Serialises the writes of all threads to the destination.
pthread_mutex_t g_writeLock = PTHREAD_MUTEX_INITIALIZER;

void WriteWhole(int fd, const char* pText, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, pText, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // Nowhere to report a failing debugger output; the line is lost.
        }
        pText += written;
        length -= static_cast<size_t>(written);
    }
}

void ChooseDestination() {
    const char* szSetting = getenv(kDestinationVariable);
    if (szSetting == nullptr || szSetting[0] == '\0') {
        g_destination = STDERR_FILENO;
        return;
    }
    if (strcasecmp(szSetting, "off") == 0 || strcasecmp(szSetting, "none") == 0) {
        g_destination = kSilenced;
        return;
    }
    // Runs under pthread_once, which no exception may leave: out of memory, the file is not
    // opened and the lines go to standard error.
    int fd = mirel_posix::FailOnOutOfMemory<int>(-1, [&] {
        std::string path;
        return mirel_posix::WindowsToPosixPath(szSetting, path)
                   ? open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)
                   : -1;
    });
    if (fd < 0) {
        char szNotice[512];
        const int nLength = snprintf(szNotice, sizeof szNotice,
                                     "OutputDebugStringA: cannot open \"%.300s\" named by %s; "
                                     "writing to standard error.\n",
                                     szSetting, kDestinationVariable);
        WriteWhole(STDERR_FILENO, szNotice, std::min(sizeof szNotice - 1, size_t(nLength)));
        g_destination = STDERR_FILENO;
        return;
    }
    g_destination = fd;
}

}  // namespace

extern "C" {

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
    if (lpOutputString == nullptr) {
        return;
    }
    pthread_rwlock_rdlock(&g_sinkLock);
    if (g_pfnSink != nullptr) {
        g_pfnSink(lpOutputString, g_pSinkContext);
        pthread_rwlock_unlock(&g_sinkLock);
        return;
    }
    pthread_rwlock_unlock(&g_sinkLock);

    pthread_once(&g_destinationOnce, ChooseDestination);
    size_t length = strlen(lpOutputString);
    if (g_destination == kSilenced || length == 0) {
        return;
    }
    pthread_mutex_lock(&g_writeLock);
    WriteWhole(g_destination, lpOutputString, length);
    pthread_mutex_unlock(&g_writeLock);
}

void MirelSetDebugOutputSink(MirelDebugOutputSink pfnSink, void* pContext) {
    pthread_rwlock_wrlock(&g_sinkLock);
    g_pfnSink = pfnSink;
    g_pSinkContext = pfnSink != nullptr ? pContext : nullptr;
    pthread_rwlock_unlock(&g_sinkLock);
}

}  // extern "C"
