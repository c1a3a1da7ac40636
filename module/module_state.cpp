#include "module/module_state.h"

// All four start zeroed when the module is loaded: no dynamic initialisation, so they are valid
// before any static initialiser of the module runs.
HINSTANCE ModuleInstance = nullptr;
HMODULE FactoryHandle = nullptr;
volatile int32_t DllSafe = 0;
char RegistryPath[kPathBufferSize] = {0};
