#include "demo/debug_output_watch.h"

#include <stdio.h>
#include <string.h>

namespace {

void CatchDebugLine(const char* szLine, void* pContext) {
    static_cast<CDebugOutputWatch*>(pContext)->Take(szLine);
}

}  // namespace

CDebugOutputWatch::CDebugOutputWatch() : m_tap(CatchDebugLine, this) {}

void CDebugOutputWatch::Take(const char* szLine) {
    ++m_nLines;
    if (strstr(szLine, "Found leak Mirel components") != nullptr) {
        ++m_nLeakReports;
    }
    // The text goes on as the modules wrote it; only a missing line end is made up for.
    fprintf(stderr, "[debug output] %s%s", szLine,
            szLine[0] != '\0' && szLine[strlen(szLine) - 1] == '\n' ? "" : "\n");
}
