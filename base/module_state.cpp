#include "base/module_state.h"

#include <string.h>

#include <mutex>
#include <new>

// All start zeroed when the module is loaded, with no dynamic initialisation, so they are valid
// before any static initialiser of the module runs and until the last static destructor has run.
HINSTANCE ModuleInstance = nullptr;
std::atomic<HMODULE> FactoryHandle{nullptr};
std::atomic<int32_t> DllSafe{0};
char RegistryPath[kPathBufferSize] = {0};
std::atomic<bool> ProcessExiting{false};

namespace {

// Guards RegistryPath's bytes only: it is held for one copy of at most 260 bytes and nothing is
// called under it, so it can never take part in a cycle with another lock.
std::mutex RegistryPathLock;

// The paths handed out by KeptRegistryPath, newest first. Guarded by RegistryPathLock; freed when
// the module is unloaded.
struct KeptPath {
    KeptPath* pNext;
    char szPath[kPathBufferSize];
};

struct CKeptPaths {
    KeptPath* pNewest;
    ~CKeptPaths() {
        std::lock_guard<std::mutex> hold(RegistryPathLock);
        while (pNewest != nullptr) {
            KeptPath* pNext = pNewest->pNext;
            delete pNewest;
            pNewest = pNext;
        }
    }
};
CKeptPaths KeptPaths = {nullptr};

}  // namespace

void StoreRegistryPath(const char* szPath) {
    std::lock_guard<std::mutex> hold(RegistryPathLock);
    if (szPath != nullptr && strlen(szPath) < static_cast<size_t>(kPathBufferSize)) {
        strcpy(RegistryPath, szPath);
    } else {
        RegistryPath[0] = '\0';
    }
}

void CopyRegistryPathTo(char (&szDest)[kPathBufferSize]) {
    std::lock_guard<std::mutex> hold(RegistryPathLock);
    memcpy(szDest, RegistryPath, sizeof(szDest));
}

const char* KeptRegistryPath() {
    std::lock_guard<std::mutex> hold(RegistryPathLock);
    if (RegistryPath[0] == '\0') {
        return "";
    }
    for (const KeptPath* p = KeptPaths.pNewest; p != nullptr; p = p->pNext) {
        if (strcmp(p->szPath, RegistryPath) == 0) {
            return p->szPath;
        }
    }
    KeptPath* pKept = new (std::nothrow) KeptPath;
    if (pKept == nullptr) {
        // Out of memory: the module-wide buffer itself, which lives as long as the module too.
        return RegistryPath;
    }
    memcpy(pKept->szPath, RegistryPath, sizeof(pKept->szPath));
    pKept->pNext = KeptPaths.pNewest;
    KeptPaths.pNewest = pKept;
    return pKept->szPath;
}
