#include "component/component_impl.h"

#include "factory/bounded_strings.h"
#include "platform/windows_api.h"

void CopyRegistryPath(const char* szPath, char* szBuffer, int32_t nSize) {
    const char* szSource = (szPath != nullptr && szPath[0] != '\0') ? szPath : RegistryPath;
    if (szBuffer != nullptr && nSize > 0) {
        // A source that does not fit is not copied at all; the code says so and nothing more.
        SafeStringRoutines.pfnSafeCopy(szBuffer, nSize, szSource);
    }
}

void ReportDestroyedWhileAlive() {
    // Reached only by a programming error: a component deleted other than through Release.
    DebugBreak();
}
