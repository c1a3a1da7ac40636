// A client built as Microsoft's compiler builds it (cmake/MsAbi.cmake), calling our MinGW-built
// modules as the client example does: MirFact.dll's factory creates timer components, whose timers
// call this program's handlers with the right IDs and user values until stopped or released. Runs
// from its own folder, whose Mirel.ini (the demo's) finds the modules in ..\bin.
#include "mirel/component_factory.h"
#include "mirel/exports.h"
#include "tests/support/msabi_checks.h"

int main() {
    Print("Microsoft-ABI client (clang, %s) of the MinGW-built MirFact.dll and MirelTimer.dll\n",
          ArchName());
    char szLibrary[MAX_PATH];
    const HMODULE hLibrary = LoadBesideProgram("..\\bin\\MirFact.dll", szLibrary);
    const auto pfnCreate =
        hLibrary ? FindExport<CreateComponentFn>(hLibrary, "CreateComponent") : nullptr;
    IComponentFactory* pFactory =
        pfnCreate ? static_cast<IComponentFactory*>(pfnCreate(kFactoryComponentId, 0)) : nullptr;
    if (!Check(pFactory && pFactory->GetComponentID() == kFactoryComponentId,
               "factory component 361 from MirFact.dll's CreateComponent", "%s", szLibrary)) {
        return Finish("msabi_client_test");
    }
    ITimer* pFirst = static_cast<ITimer*>(pFactory->CreateComponentByID(kTimerComponentId, ""));
    ITimer* pSecond = static_cast<ITimer*>(pFactory->CreateComponentByID(kTimerComponentId, ""));
    if (!Check(pFirst && pSecond && pFirst != pSecond &&
                   pFirst->GetComponentID() == kTimerComponentId &&
                   pSecond->GetComponentVersion() == 1,
               "two timer components 795 (factory slot 5; slots 0, 1)", "")) {
        return Finish("msabi_client_test");
    }
    pFirst->SetAutoFree(1);
    const int32_t bSet = pFirst->GetAutoFree();
    pFirst->SetAutoFree(0);
    Check(bSet == 1 && pFirst->GetAutoFree() == 0, "SetAutoFree then GetAutoFree (slots 4, 3)",
          "1 -> %d, 0 -> %d", bSet, pFirst->GetAutoFree());

    // Timer 0 and 2 on one handler from two components, timer 1 on another handler.
    CRecordingHandler fast;
    CRecordingHandler slow;
    const int32_t anValues[3] = {0x11, -7, 0x7FFFFFFF};
    const uint32_t anIds[3] = {pFirst->StartTimer(15, anValues[0], &fast),
                               pFirst->StartTimer(20, anValues[1], &slow),
                               pSecond->StartTimer(15, anValues[2], &fast)};
    Check(anIds[0] && anIds[1] && anIds[2] && anIds[0] != anIds[1] && anIds[1] != anIds[2] &&
              anIds[0] != anIds[2],
          "StartTimer (slot 6): three timers, three IDs", "%u %u %u", anIds[0], anIds[1], anIds[2]);
    const bool bFired = PumpUntil(
        [&] {
            return fast.Count(anIds[0]) >= 3 && slow.Count(anIds[1]) >= 3 &&
                   fast.Count(anIds[2]) >= 3;
        },
        3000);
    const uint32_t anFastIds[2] = {anIds[0], anIds[2]};
    const int32_t anFastValues[2] = {anValues[0], anValues[2]};
    const int nWrong =
        fast.Mismatches(anFastIds, anFastValues, 2) + slow.Mismatches(anIds + 1, anValues + 1, 1);
    Check(bFired && nWrong == 0, "OnTimer(ID, user value) as started, on the handler given",
          "%d, %d, %d calls; %d others", fast.Count(anIds[0]), slow.Count(anIds[1]),
          fast.Count(anIds[2]), nWrong);

    const int32_t anModified[3] = {pFirst->ModifyTimer(anIds[0], 30),
                                   pSecond->ModifyTimer(anIds[0], 30),
                                   pFirst->ModifyTimer(0x7FFFFFF0, 30)};
    Check(anModified[0] == 1 && anModified[1] == 0 && anModified[2] == 0,
          "ModifyTimer (slot 5): own timer 1, another's 0, unknown 0", "%d %d %d", anModified[0],
          anModified[1], anModified[2]);

    pFirst->StopTimer(anIds[1]);
    const int nStopped = slow.Calls();
    int nRunning = fast.Count(anIds[0]);
    PumpUntil([&] { return fast.Count(anIds[0]) >= nRunning + 2; }, 2000);
    Check(slow.Calls() == nStopped && fast.Count(anIds[0]) >= nRunning + 2,
          "StopTimer (slot 7) stops that timer only", "stopped +%d, other +%d",
          slow.Calls() - nStopped, fast.Count(anIds[0]) - nRunning);

    pFirst->StopAllTimers();
    const int nAllStopped = fast.Count(anIds[0]);
    nRunning = fast.Count(anIds[2]);
    PumpUntil([&] { return fast.Count(anIds[2]) >= nRunning + 2; }, 2000);
    Check(fast.Count(anIds[0]) == nAllStopped && fast.Count(anIds[2]) >= nRunning + 2,
          "StopAllTimers (slot 8) stops the component's own timers only",
          "stopped +%d, other component's +%d", fast.Count(anIds[0]) - nAllStopped,
          fast.Count(anIds[2]) - nRunning);

    // The module's own exports, called as a Microsoft-built framework calls them.
    const HMODULE hModule = GetModuleHandleA("MirelTimer.dll");
    const auto pfnIds = FindExport<GetComponentIDsFn>(hModule, "GetComponentIDs");
    const auto pfnCanUnload = FindExport<MirelDllCanUnloadNowFn>(hModule, "MirelDllCanUnloadNow");
    int32_t anComponentIds[4] = {0, 0, 0, 0};
    const int32_t nRows = pfnIds ? pfnIds(anComponentIds, 4) : -1;
    const int32_t nBusy = pfnCanUnload ? pfnCanUnload() : -1;
    Check(nRows == 1 && anComponentIds[0] == kTimerComponentId && nBusy == 0,
          "exports GetComponentIDs and MirelDllCanUnloadNow (__cdecl)", "%d rows (%d), unload %d",
          nRows, anComponentIds[0], nBusy);

    pFirst->Release(0);
    pSecond->Release(0);
    const int nReleased = fast.Calls();
    PumpUntil([] { return false; }, 60);
    const int32_t nIdle = pfnCanUnload ? pfnCanUnload() : -1;
    Check(fast.Calls() == nReleased && nIdle == 1,
          "Release(0) (slot 2) ends the components and their timers; module idle",
          "+%d calls, unload %d", fast.Calls() - nReleased, nIdle);
    return Finish("msabi_client_test");
}
