#include "base/module_trace.h"

#include <stdarg.h>
#include <string.h>

#include "base/module_state.h"
#include "platform/windows_api.h"

void TraceModuleError(const char* szFormat, ...) {
    // The formatter leaves a cut text unterminated; the last byte, still zero, terminates it.
    char szLine[kTextBufferSize];
    memset(szLine, 0, sizeof(szLine));
    va_list args;
    va_start(args, szFormat);
    _vsnprintf(szLine, kTextBufferSize - 1, szFormat, args);
    va_end(args);
    OutputDebugStringA(szLine);
}
