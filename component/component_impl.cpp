#include "component/component_impl.h"

#include "factory/bounded_strings.h"
#include "module/module_lock.h"
#include "platform/windows_api.h"

void CopyRegistryPath(const char* szPath, char* szBuffer, int32_t nSize) {
    char szModulePath[kPathBufferSize];
    const char* szSource = szPath;
    if (szPath == nullptr || szPath[0] == '\0') {
        CopyRegistryPathTo(szModulePath);
        szSource = szModulePath;
    }
    if (szBuffer != nullptr && nSize > 0) {
        // A source that does not fit is not copied at all; the code says so and nothing more.
        SafeStringRoutines.pfnSafeCopy(szBuffer, nSize, szSource);
    }
}

void DestroyReleasedComponent(CComponentHolder* pHolder, IComponent* pAddress, int32_t bNotify) {
    CModuleLockScope lock;
    delete pHolder;
    RemoveLiveComponent(pAddress, bNotify);
}

void ReportDestroyedWhileAlive() {
    // Reached only by a programming error: a component deleted other than through Release.
    DebugBreak();
}
