// The little a program or DLL built by mirel_msabi_program (cmake/MsAbi.cmake) needs in place of
// Microsoft's C runtime: the entry point, which runs the static constructors and, at the end, the
// functions given to atexit; _purecall, _fltused and the memory routines the compiler may call.
// Compiled once per program, with MIREL_MSABI_DLL for a DLL.
#include <stddef.h>

#include "platform/windows_api.h"

extern "C" {

typedef void(__cdecl* InitFunction)();

// The compiler lists every static constructor between these two, in the order of the sections'
// names (.CRT$XCA < .CRT$XCU < .CRT$XCZ).
__attribute__((section(".CRT$XCA"), used)) InitFunction MirelMsAbiInitFirst = nullptr;
__attribute__((section(".CRT$XCZ"), used)) InitFunction MirelMsAbiInitLast = nullptr;

int _fltused = 0;

namespace {
constexpr int kMaxExitFunctions = 64;
InitFunction ExitFunctions[kMaxExitFunctions];
int ExitFunctionCount = 0;

void RunConstructors() {
    for (InitFunction* p = &MirelMsAbiInitFirst + 1; p < &MirelMsAbiInitLast; ++p) {
        if (*p != nullptr) {
            (*p)();
        }
    }
}

void RunExitFunctions() {
    while (ExitFunctionCount > 0) {
        ExitFunctions[--ExitFunctionCount]();
    }
}

void Fail(const char* szText, UINT nExitCode) {
    DWORD nWritten = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), szText, lstrlenA(szText), &nWritten, nullptr);
    ExitProcess(nExitCode);
}
}  // namespace

int __cdecl atexit(InitFunction pfn) {
    if (ExitFunctionCount == kMaxExitFunctions) {
        return -1;
    }
    ExitFunctions[ExitFunctionCount++] = pfn;
    return 0;
}

int __cdecl _purecall() {
    Fail("msabi runtime: pure virtual function called\n", 3);
    return 0;
}

void* __cdecl memset(void* pDest, int nValue, size_t nSize) {
    unsigned char* p = static_cast<unsigned char*>(pDest);
    while (nSize-- > 0) {
        *p++ = static_cast<unsigned char>(nValue);
    }
    return pDest;
}

void* __cdecl memcpy(void* pDest, const void* pSource, size_t nSize) {
    unsigned char* p = static_cast<unsigned char*>(pDest);
    const unsigned char* q = static_cast<const unsigned char*>(pSource);
    while (nSize-- > 0) {
        *p++ = *q++;
    }
    return pDest;
}

void* __cdecl memmove(void* pDest, const void* pSource, size_t nSize) {
    unsigned char* p = static_cast<unsigned char*>(pDest);
    const unsigned char* q = static_cast<const unsigned char*>(pSource);
    if (p < q) {
        return memcpy(pDest, pSource, nSize);
    }
    while (nSize-- > 0) {
        p[nSize] = q[nSize];
    }
    return pDest;
}

int __cdecl memcmp(const void* pLeft, const void* pRight, size_t nSize) {
    const unsigned char* p = static_cast<const unsigned char*>(pLeft);
    const unsigned char* q = static_cast<const unsigned char*>(pRight);
    for (size_t i = 0; i < nSize; ++i) {
        if (p[i] != q[i]) {
            return p[i] < q[i] ? -1 : 1;
        }
    }
    return 0;
}

#ifdef MIREL_MSABI_DLL
BOOL WINAPI _DllMainCRTStartup(HINSTANCE, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        RunConstructors();
    } else if (dwReason == DLL_PROCESS_DETACH) {
        RunExitFunctions();
    }
    return TRUE;
}
#else
}  // extern "C"
int main();
extern "C" {
void __cdecl mainCRTStartup() {
    RunConstructors();
    const int nResult = main();
    RunExitFunctions();
    ExitProcess(static_cast<UINT>(nResult));
}
#endif

}  // extern "C"
