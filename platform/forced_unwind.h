// MirelForcedUnwind: what a catch clause names to let a thread's cancellation pass. glibc ends a
// cancelled thread by a forced unwind that a catch (...) may see but must rethrow, or the runtime
// aborts the process; Windows has no such unwind, so there the type is one nothing throws.
// MIREL_FORCED_UNWIND_CATCH goes before a function whose catch clause names it: the runtime binds
// the forced unwind to that clause as a reference to no object, which the undefined-behaviour
// checker would stop at.
#ifndef MIREL_PLATFORM_FORCED_UNWIND_H
#define MIREL_PLATFORM_FORCED_UNWIND_H

#if defined(__GLIBCXX__) && !defined(_WIN32)
#include <cxxabi.h>
typedef abi::__forced_unwind MirelForcedUnwind;
#define MIREL_FORCED_UNWIND_CATCH __attribute__((no_sanitize("undefined")))
#else
struct MirelForcedUnwind {};
#define MIREL_FORCED_UNWIND_CATCH
#endif

#endif  // MIREL_PLATFORM_FORCED_UNWIND_H
