// TraceModuleError: writes one "Mirel[Error]" line of the module frame to the debugger output.
// Any thread may call it, with or without the module lock held; it takes no lock itself.
#ifndef MIREL_BASE_MODULE_TRACE_H
#define MIREL_BASE_MODULE_TRACE_H

#include "base/printf_like.h"

// Formats at most 1023 characters and passes them on exactly as formatted: no prefix, no time
// stamp, no line feed added. A longer text is cut without notice.
void TraceModuleError(const char* szFormat, ...) MIREL_PRINTF_LIKE(1, 2);

#endif  // MIREL_BASE_MODULE_TRACE_H
