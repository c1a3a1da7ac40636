// A client of the timer service: one timer, five expiries, then the way out.
#include <stdio.h>

#include "mirel/component_factory.h"
#include "mirel/timer.h"
#include "platform/windows_api.h"

class CTicker : public ITimerHandler {
public:
    int32_t GetHandlerVersion() override { return 1; }
    int32_t OnTimer(uint32_t nTimerId, int32_t nUserValue) override {
        printf("timer %u fired, user value %d\n", nTimerId, nUserValue);
        if (++m_nTicks == 5) {
            PostQuitMessage(0);  // ends the message loop below
        }
        return 0;
    }

private:
    int m_nTicks = 0;
};

int main() {
    // The factory library beside this program, and its factory component. The library reads the
    // Mirel.ini beside this program to find the module of each component.
    HMODULE hLibrary = LoadLibraryA("MirFact.dll");
    if (hLibrary == nullptr)
        return 1;
    CreateComponentFn pfnCreate = reinterpret_cast<CreateComponentFn>(
        reinterpret_cast<void*>(GetProcAddress(hLibrary, "CreateComponent")));
    if (pfnCreate == nullptr)
        return 1;
    IComponentFactory* pFactory =
        static_cast<IComponentFactory*>(pfnCreate(kFactoryComponentId, 0));
    if (pFactory == nullptr)
        return 1;

    // A timer component, created by its ID; "" means the default configuration.
    ITimer* pTimer = static_cast<ITimer*>(pFactory->CreateComponentByID(kTimerComponentId, ""));
    if (pTimer == nullptr)
        return 1;

    // Every 100 ms, OnTimer(id, 7) on this thread, while it dispatches its messages.
    CTicker ticker;
    if (pTimer->StartTimer(100, 7, &ticker) == 0)
        return 1;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageA(&msg);
    }

    // Release stops the component's timers; the component is gone afterwards.
    pTimer->Release(0);
    return 0;
}
