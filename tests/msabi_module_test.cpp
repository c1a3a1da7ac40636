// The other direction: our MinGW-built MirelTimer.dll calling into modules built as Microsoft's
// compiler builds them. This host and the factory library beside it ("MirFact.dll",
// msabi_framework_double.cpp) are built by clang and lld-link (cmake/MsAbi.cmake); the host loads
// the module from ..\bin as the framework does and checks that every argument the module passes to
// factory slots 5, 6 and 10 and to the window component, and every one it receives back through
// IMessageSink::OnWindowMessage, arrives intact.
#include "mirel/component_factory.h"
#include "mirel/exports.h"
#include "mirel/timer.h"
#include "tests/support/msabi_checks.h"
#include "tests/fixtures/msabi_framework_double.h"

namespace {

constexpr char kRegistryPath[] = "msabi\\registry\\MirelTimer.ini";
constexpr int32_t kUserValue = -0x5A5A5A5A;

int32_t Word(const unsigned char* pBytes, int nOffset) {
    int32_t nValue = 0;
    for (int i = 3; i >= 0; --i) {
        nValue = static_cast<int32_t>(static_cast<uint32_t>(nValue) << 8 | pBytes[nOffset + i]);
    }
    return nValue;
}

// One LoadComponentConfig call (factory slot 6): the record arrived as the module's constructor
// leaves it (zero, word 1 at -1), pWord4 is its offset 4, and the module copied the factory's two
// words crosswise into offsets 12 and 8, as read here by this compiler's layout.
void CheckConfigCall(const DoubleLog& log, int n, const char* szWhat, const char* szPath) {
    const auto& call = log.config[n];
    int nNonZero = 0;
    for (unsigned i = 16; i < sizeof(ComponentConfig); ++i) {
        nNonZero += call.abArrived[i] != 0 ? 1 : 0;
    }
    const ComponentConfig* p = call.pConfig;
    Check(n < log.nConfigCalls && p != nullptr && call.nComponentId == kTimerComponentId &&
              lstrcmpA(call.szPath, szPath) == 0 && call.bRecordPointer &&
              call.pWord4 == &p->nWord4 && Word(call.abArrived, 0) == 0 &&
              Word(call.abArrived, 4) == 0 && Word(call.abArrived, 8) == -1 &&
              Word(call.abArrived, 12) == 0 && nNonZero == 0 && p->nFactoryWord0 == kRecordWord0 &&
              p->nFactoryWord1 == kRecordWord1 && p->nWord4 == kWord4Base + n,
          szWhat, "ID %d, \"%s\", words %x %x %x %x, %d text bytes set; after: %x %x %x",
          call.nComponentId, call.szPath, Word(call.abArrived, 0), Word(call.abArrived, 4),
          Word(call.abArrived, 8), Word(call.abArrived, 12), nNonZero, p ? p->nWord4 : 0,
          p ? p->nFactoryWord1 : 0, p ? p->nFactoryWord0 : 0);
}

}  // namespace

int main() {
    Print(
        "Microsoft-ABI host and factory library (clang, %s) driving the MinGW-built "
        "MirelTimer.dll\n",
        ArchName());
    char szPath[MAX_PATH];
    const HMODULE hFactoryLibrary = LoadBesideProgram("MirFact.dll", szPath);
    const auto pfnLog =
        hFactoryLibrary ? FindExport<MsAbiDoubleLogFn>(hFactoryLibrary, "MsAbiDoubleLog") : nullptr;
    const HMODULE hModule = pfnLog ? LoadBesideProgram("..\\bin\\MirelTimer.dll", szPath) : nullptr;
    if (!Check(hModule != nullptr, "the double MirFact.dll, then MirelTimer.dll loaded", "%s",
               szPath)) {
        return Finish("msabi_module_test");
    }
    const DoubleLog& log = *pfnLog();
    // The module's timer manager registers its record while the module loads.
    CheckConfigCall(log, 0, "slot 6 at load: the manager's ComponentConfig, crosswise", "");

    const auto pfnSetRegistry = FindExport<SetDLLRegistryFn>(hModule, "SetDLLRegistry");
    const auto pfnSetFactory = FindExport<SetFactoryHandleFn>(hModule, "SetFactoryHandle");
    const auto pfnCreate = FindExport<CreateComponentFn>(hModule, "CreateComponent");
    const auto pfnCanUnload = FindExport<MirelDllCanUnloadNowFn>(hModule, "MirelDllCanUnloadNow");
    if (!Check(pfnSetRegistry && pfnSetFactory && pfnCreate && pfnCanUnload,
               "the module's exports by name", "")) {
        return Finish("msabi_module_test");
    }
    const int32_t nSetRegistry = pfnSetRegistry(kRegistryPath);
    const bool bHandleBack = pfnSetFactory(hFactoryLibrary) == static_cast<void*>(hFactoryLibrary);
    ITimer* pTimer = static_cast<ITimer*>(pfnCreate(kTimerComponentId, 0));
    if (!Check(nSetRegistry == 0 && bHandleBack && pTimer != nullptr &&
                   pTimer->GetComponentID() == kTimerComponentId,
               "SetDLLRegistry, SetFactoryHandle(this MirFact.dll), CreateComponent(795)",
               "%d, handle %s, ID %d", nSetRegistry, bHandleBack ? "returned" : "differs",
               pTimer ? pTimer->GetComponentID() : 0)) {
        return Finish("msabi_module_test");
    }
    CheckConfigCall(log, 1, "slot 6 for the new component: its ComponentConfig, crosswise",
                    kRegistryPath);

    CRecordingHandler handler;
    const uint32_t nId = pTimer->StartTimer(15, kUserValue, &handler);
    Check(nId != 0 && log.nCreateCalls >= 1 &&
              log.create[0].nComponentId == kMessageWindowComponentId &&
              lstrcmpA(log.create[0].szPath, kRegistryPath) == 0,
          "StartTimer: slot 5 CreateComponentByID(33, registry path)", "ID %u; %d calls: %d \"%s\"",
          nId, log.nCreateCalls, log.create[0].nComponentId, log.create[0].szPath);
    Check(log.nWindowAutoFree == 0 && log.nWindowCreateCalls == 1 && log.phWndGiven != nullptr &&
              log.pSink != nullptr && IsWindow(log.hWnd),
          "window component: SetAutoFree(0), CreateMessageWindow(&hWnd, sink)",
          "auto-free %d, %d calls", log.nWindowAutoFree, log.nWindowCreateCalls);

    // The window handle went back through *phWnd: the module's timers run on that window, and
    // each WM_TIMER comes back through OnWindowMessage to this handler.
    const bool bFired = PumpUntil([&] { return handler.Count(nId) >= 3; }, 3000);
    Check(bFired && handler.Mismatches(&nId, &kUserValue, 1) == 0 && log.nTimerMessages >= 3 &&
              log.hTimerWnd == log.hWnd && log.nTimerWParam == nId && log.nTimerResult == 0,
          "WM_TIMER on the window given -> OnWindowMessage -> OnTimer(ID, value)",
          "%d calls, %d others; %d messages, wParam %u", handler.Count(nId),
          handler.Mismatches(&nId, &kUserValue, 1), log.nTimerMessages,
          static_cast<uint32_t>(log.nTimerWParam));

    // The sink called directly: only the module's window, WM_TIMER and a live ID reach a handler,
    // whatever lParam and the depth hold.
    IMessageSink* pSink = log.pSink;
    const HWND hWnd = log.hWnd;
    const intptr_t nLParam = static_cast<intptr_t>(~static_cast<uintptr_t>(0) / 3);
    int nBefore = handler.Count(nId);
    int32_t nResults = pSink->OnWindowMessage(hWnd, WM_TIMER, nId, nLParam, 7);
    const int nDirect = handler.Count(nId) - nBefore;
    nBefore = handler.Calls();
    nResults |= pSink->OnWindowMessage(GetDesktopWindow(), WM_TIMER, nId, nLParam, 1);
    nResults |= pSink->OnWindowMessage(hWnd, WM_TIMER + 1, nId, nLParam, 1);
    nResults |= pSink->OnWindowMessage(hWnd, WM_TIMER, nId + 1000, nLParam, 1);
    Check(pSink->GetSinkVersion() == 1 && nDirect == 1 && handler.Calls() == nBefore &&
              nResults == 0 && handler.Mismatches(&nId, &kUserValue, 1) == 0,
          "IMessageSink slots 0 and 1 called directly: window, message, ID",
          "right words: %d call; wrong window, message, ID: %d calls", nDirect,
          handler.Calls() - nBefore);

    // The last release gives the window component back and tells the factory, by the module's
    // instance handle, that the module has become idle.
    pTimer->Release(0);
    const int nLast = log.nCreateCalls - 1;
    Check(log.nWindowReleases == 1 && log.nWindowReleaseForce == 0 && !IsWindow(hWnd),
          "Release: the window component released (slot 2, Release(0))", "%d releases, force %d",
          log.nWindowReleases, log.nWindowReleaseForce);
    Check(log.nUnloadableCalls == 1 && log.hUnloadable == static_cast<void*>(hModule) &&
              log.create[nLast].nComponentId == kFactoryComponentId &&
              lstrcmpA(log.create[nLast].szPath, kRegistryPath) == 0 && log.nFactoryAutoFree == 1 &&
              pfnCanUnload() == 1,
          "slot 10 NotifyModuleUnloadable(the module's instance handle)",
          "%d calls, handle %s; slot 5 asked for %d", log.nUnloadableCalls,
          log.hUnloadable == static_cast<void*>(hModule) ? "matches" : "differs",
          log.create[nLast].nComponentId);
    Check(log.nReservedCalls == 0, "factory slots 7 to 9 never called", "%d calls",
          log.nReservedCalls);
    FreeLibrary(hModule);
    Check(GetModuleHandleA("MirelTimer.dll") == nullptr, "MirelTimer.dll unloads cleanly", "");
    return Finish("msabi_module_test");
}
