#include "base/module_state.h"

#include <string.h>

#include <mutex>

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
