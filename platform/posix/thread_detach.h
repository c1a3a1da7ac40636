// The modules' DLL_THREAD_DETACH step on POSIX: called by a thread's queue when the thread ends,
// on that thread, before its windows go (see MirelSetThreadDetachEntry).
#ifndef MIREL_PLATFORM_POSIX_THREAD_DETACH_H
#define MIREL_PLATFORM_POSIX_THREAD_DETACH_H

#pragma GCC visibility push(hidden)

namespace mirel_posix {

void DeliverThreadDetach();

}  // namespace mirel_posix

#pragma GCC visibility pop

#endif  // MIREL_PLATFORM_POSIX_THREAD_DETACH_H
