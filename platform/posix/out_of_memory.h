// The stand-ins' rule for running out of memory. A Windows call reports every failure through its
// result and GetLastError and never throws; the stand-ins are written with the standard
// containers, whose allocations throw std::bad_alloc. Each call that allocates runs its body
// through FailOnOutOfMemory, so that module code, which must let no exception cross an export or
// an interface, never sees one from below. A body must leave the call's state as it was when an
// allocation fails: allocate first, then change shared state.
#ifndef MIREL_PLATFORM_POSIX_OUT_OF_MEMORY_H
#define MIREL_PLATFORM_POSIX_OUT_OF_MEMORY_H

#include <new>

#include "platform/windows_api.h"

namespace mirel_posix {

// body()'s result; when it runs out of memory, failure with ERROR_NOT_ENOUGH_MEMORY instead.
template <class TResult, class TBody>
TResult FailOnOutOfMemory(TResult failure, TBody&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return failure;
    }
}

}  // namespace mirel_posix

#endif  // MIREL_PLATFORM_POSIX_OUT_OF_MEMORY_H
