// A client built as Microsoft's compiler builds it (cmake/MsAbi.cmake), calling our MinGW-built
// modules as the client example does (demo/timer_client_example.cpp): MirFact.dll's factory
// creates timer components, their timers call this program's handlers with the right IDs and user
// values, and the components end with Release. Run from its own folder, whose Mirel.ini (the
// demo's) finds the modules in ..\bin. One line per check.
#include "mirel/component_factory.h"
#include "mirel/exports.h"
#include "mirel/timer.h"
#include "tests/msabi/checks.h"

namespace {

class CRecordingHandler : public ITimerHandler {
public:
    int32_t GetHandlerVersion() override { return 1; }
    int32_t OnTimer(uint32_t nTimerId, int32_t nUserValue) override {
        m_log.Add(nTimerId, nUserValue);
        return 0;
    }
    const TimerCallLog& Log() const { return m_log; }

private:
    TimerCallLog m_log;
};

template <class TFunction>
TFunction Export(HMODULE hModule, const char* szName) {
    return reinterpret_cast<TFunction>(reinterpret_cast<void*>(GetProcAddress(hModule, szName)));
}

}  // namespace

int main() {
    Print("Microsoft-ABI client (clang, %s) driving the MinGW-built MirFact.dll, MirelTimer.dll "
          "and MirelMsgWnd.dll\n", ArchName());
    char szLibrary[MAX_PATH];
    BesideProgram("..\\bin\\MirFact.dll", szLibrary, MAX_PATH);
    const HMODULE hLibrary = LoadLibraryA(szLibrary);
    const CreateComponentFn pfnCreate =
        hLibrary ? Export<CreateComponentFn>(hLibrary, "CreateComponent") : nullptr;
    IComponentFactory* pFactory =
        pfnCreate ? static_cast<IComponentFactory*>(pfnCreate(kFactoryComponentId, 0)) : nullptr;
    if (!Check(pFactory != nullptr && pFactory->GetComponentID() == kFactoryComponentId,
               "factory component 361 from MirFact.dll's CreateComponent", "%s", szLibrary)) {
        return Finish("msabi_client");
    }

    ITimer* pFirst = static_cast<ITimer*>(pFactory->CreateComponentByID(kTimerComponentId, ""));
    ITimer* pSecond = static_cast<ITimer*>(pFactory->CreateComponentByID(kTimerComponentId, ""));
    if (!Check(pFirst && pSecond && pFirst != pSecond &&
                   pFirst->GetComponentID() == kTimerComponentId &&
                   pSecond->GetComponentVersion() == 1,
               "two timer components 795 (factory slot 5; slots 0, 1)", "IDs %d, %d",
               pFirst ? pFirst->GetComponentID() : 0, pSecond ? pSecond->GetComponentID() : 0)) {
        return Finish("msabi_client");
    }
    pFirst->SetAutoFree(1);
    const int32_t bSet = pFirst->GetAutoFree();
    pFirst->SetAutoFree(0);
    Check(bSet == 1 && pFirst->GetAutoFree() == 0, "SetAutoFree then GetAutoFree (slots 4, 3)",
          "1 -> %d, 0 -> %d", bSet, pFirst->GetAutoFree());

    CRecordingHandler fast;
    CRecordingHandler slow;
    const uint32_t nFirstId = pFirst->StartTimer(15, 0x11, &fast);
    const uint32_t nSlowId = pFirst->StartTimer(20, -7, &slow);
    const uint32_t nSecondId = pSecond->StartTimer(15, 0x7FFFFFFF, &fast);
    Check(nFirstId && nSlowId && nSecondId && nFirstId != nSlowId && nSecondId != nFirstId &&
              nSecondId != nSlowId,
          "StartTimer (slot 6): three timers, three IDs", "%u %u %u", nFirstId, nSlowId, nSecondId);
    const bool bFired = PumpUntil(
        [&] {
            return fast.Log().Count(nFirstId) >= 3 && fast.Log().Count(nSecondId) >= 3 &&
                   slow.Log().Count(nSlowId) >= 3;
        },
        3000);
    Check(bFired, "OnTimer reaches both handlers for every timer", "%d, %d, %d calls",
          fast.Log().Count(nFirstId), slow.Log().Count(nSlowId), fast.Log().Count(nSecondId));
    Check(fast.Log().Mismatches(nFirstId, 0x11, nSecondId, 0x7FFFFFFF) == 0 &&
              slow.Log().Mismatches(nSlowId, -7) == 0,
          "OnTimer(ID, user value) as started, on the handler given", "%d and %d others",
          fast.Log().Mismatches(nFirstId, 0x11, nSecondId, 0x7FFFFFFF),
          slow.Log().Mismatches(nSlowId, -7));

    const int32_t nOwn = pFirst->ModifyTimer(nFirstId, 30);
    const int32_t nOthers = pSecond->ModifyTimer(nFirstId, 30);
    const int32_t nUnknown = pFirst->ModifyTimer(0x7FFFFFF0, 30);
    Check(nOwn == 1 && nOthers == 0 && nUnknown == 0,
          "ModifyTimer (slot 5): own timer 1, another's 0, unknown 0", "%d %d %d", nOwn, nOthers,
          nUnknown);

    pFirst->StopTimer(nSlowId);
    int nSlowCalls = slow.Log().Count(nSlowId);
    int nFirstCalls = fast.Log().Count(nFirstId);
    PumpUntil([&] { return fast.Log().Count(nFirstId) >= nFirstCalls + 2; }, 2000);
    Check(slow.Log().Count(nSlowId) == nSlowCalls &&
              fast.Log().Count(nFirstId) >= nFirstCalls + 2,
          "StopTimer (slot 7) stops that timer only", "stopped +%d, other +%d",
          slow.Log().Count(nSlowId) - nSlowCalls, fast.Log().Count(nFirstId) - nFirstCalls);

    pFirst->StopAllTimers();
    nFirstCalls = fast.Log().Count(nFirstId);
    int nSecondCalls = fast.Log().Count(nSecondId);
    PumpUntil([&] { return fast.Log().Count(nSecondId) >= nSecondCalls + 2; }, 2000);
    Check(fast.Log().Count(nFirstId) == nFirstCalls &&
              fast.Log().Count(nSecondId) >= nSecondCalls + 2,
          "StopAllTimers (slot 8) stops the component's own timers only",
          "stopped +%d, other component's +%d", fast.Log().Count(nFirstId) - nFirstCalls,
          fast.Log().Count(nSecondId) - nSecondCalls);

    // The module's own exports, called as a Microsoft-built framework calls them.
    const HMODULE hModule = GetModuleHandleA("MirelTimer.dll");
    const auto pfnIds = hModule ? Export<GetComponentIDsFn>(hModule, "GetComponentIDs") : nullptr;
    const auto pfnCanUnload =
        hModule ? Export<MirelDllCanUnloadNowFn>(hModule, "MirelDllCanUnloadNow") : nullptr;
    int32_t anIds[4] = {0, 0, 0, 0};
    const int32_t nIds = pfnIds ? pfnIds(anIds, 4) : -1;
    const int32_t nBusy = pfnCanUnload ? pfnCanUnload() : -1;
    Check(nIds == 1 && anIds[0] == kTimerComponentId && nBusy == 0,
          "exports GetComponentIDs and MirelDllCanUnloadNow (__cdecl)", "%d IDs (%d), unload %d",
          nIds, anIds[0], nBusy);

    pFirst->Release(0);
    pSecond->Release(0);
    nSecondCalls = fast.Log().Count(nSecondId);
    PumpFor(60);
    const int32_t nIdle = pfnCanUnload ? pfnCanUnload() : -1;
    Check(fast.Log().Count(nSecondId) == nSecondCalls && nIdle == 1,
          "Release(0) (slot 2) ends the components and their timers; module idle",
          "+%d calls, unload %d", fast.Log().Count(nSecondId) - nSecondCalls, nIdle);
    return Finish("msabi_client");
}
