// "MirFact.dll" as Microsoft's compiler would build it (cmake/MsAbi.cmake): a factory library
// whose factory component hands out itself (361) and one message-window component (33), small
// and without STL. Everything a module passes in is written to the DoubleLog that the host reads.
#include "mirel/component_factory.h"
#include "tests/msabi/framework_double.h"
#include "platform/windows_api.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

DoubleLog Log;
const int32_t FactoryRecord[2] = {kRecordWord0, kRecordWord1};

void CopyText(char* szDest, const char* szSource) {
    lstrcpynA(szDest, szSource != nullptr ? szSource : "(null)", 260);
}

LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

class CWindowDouble : public IMessageWindow {
public:
    int32_t GetComponentID() override { return kMessageWindowComponentId; }
    int32_t GetComponentVersion() override { return 1; }
    void Release(int32_t nForce) override {
        ++Log.nWindowReleases;
        Log.nWindowReleaseForce = nForce;
        if (Log.hWnd != nullptr) {
            DestroyWindow(Log.hWnd);
        }
        Log.pSink = nullptr;
    }
    int32_t GetAutoFree() override { return Log.nWindowAutoFree; }
    void SetAutoFree(int32_t bAutoFree) override { Log.nWindowAutoFree = bAutoFree; }

    int32_t CreateMessageWindow(HWND* phWnd, IMessageSink* pSink) override {
        ++Log.nWindowCreateCalls;
        Log.phWndGiven = phWnd;
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = reinterpret_cast<HINSTANCE>(&__ImageBase);
        windowClass.lpszClassName = "MsAbiMessageWindowDouble";
        RegisterClassA(&windowClass);
        HWND hWnd = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                    nullptr, windowClass.hInstance, nullptr);
        if (hWnd == nullptr || phWnd == nullptr) {
            return 0;
        }
        Log.hWnd = hWnd;
        Log.pSink = pSink;
        *phWnd = hWnd;
        return 1;
    }
};

class CFactoryDouble : public IComponentFactory {
public:
    int32_t GetComponentID() override { return kFactoryComponentId; }
    int32_t GetComponentVersion() override { return 1; }
    void Release(int32_t) override {}
    int32_t GetAutoFree() override { return Log.nFactoryAutoFree; }
    void SetAutoFree(int32_t bAutoFree) override { Log.nFactoryAutoFree = bAutoFree; }

    IComponent* CreateComponentByID(int32_t nComponentId, const char* szRegistryPath) override {
        if (Log.nCreateCalls < DoubleLog::kMaxCalls) {
            Log.create[Log.nCreateCalls].nComponentId = nComponentId;
            CopyText(Log.create[Log.nCreateCalls].szPath, szRegistryPath);
        }
        ++Log.nCreateCalls;
        if (nComponentId == kMessageWindowComponentId) {
            return &m_window;
        }
        return nComponentId == kFactoryComponentId ? this : nullptr;
    }

    int32_t LoadComponentConfig(const char* szRegistryPath, int32_t nComponentId,
                                ComponentConfig* pConfig, int32_t* pWord4,
                                int32_t** ppRecord) override {
        const int n = Log.nConfigCalls++;
        if (n >= DoubleLog::kMaxCalls) {
            return 0;
        }
        CopyText(Log.config[n].szPath, szRegistryPath);
        Log.config[n].nComponentId = nComponentId;
        Log.config[n].pConfig = pConfig;
        Log.config[n].pWord4 = pWord4;
        Log.config[n].bRecordPointer = ppRecord != nullptr;
        if (pConfig != nullptr) {
            memcpy(Log.config[n].abArrived, pConfig, sizeof(ComponentConfig));
        }
        if (pWord4 != nullptr) {
            *pWord4 = kWord4Base + n;
        }
        if (ppRecord != nullptr) {
            *ppRecord = const_cast<int32_t*>(FactoryRecord);
        }
        return 1;
    }

    int32_t Reserved7() override { return ++Log.nReservedCalls, 0; }
    int32_t Reserved8() override { return ++Log.nReservedCalls, 0; }
    int32_t Reserved9() override { return ++Log.nReservedCalls, 0; }

    int32_t NotifyModuleUnloadable(void* hModuleInstance) override {
        ++Log.nUnloadableCalls;
        Log.hUnloadable = hModuleInstance;
        return 1;
    }

private:
    CWindowDouble m_window;
};

CFactoryDouble Factory;

// Every message of the window, once it exists, goes to the sink as the framework's component
// passes it: window, message, both words and the delivery depth 1.
LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (Log.pSink == nullptr || hWnd != Log.hWnd) {
        return DefWindowProcA(hWnd, uMsg, wParam, lParam);
    }
    const int32_t nResult = Log.pSink->OnWindowMessage(hWnd, uMsg, wParam, lParam, 1);
    if (uMsg == WM_TIMER) {
        ++Log.nTimerMessages;
        Log.hTimerWnd = hWnd;
        Log.nTimerWParam = wParam;
        Log.nTimerLParam = lParam;
        Log.nTimerResult = nResult;
    }
    return nResult;
}

struct CLogStart {
    CLogStart() {
        Log.nFactoryAutoFree = -1;
        Log.nWindowAutoFree = -1;
        Log.nWindowReleaseForce = -1;
    }
} LogStart;

}  // namespace

extern "C" __declspec(dllexport) IComponent* CreateComponent(int32_t nComponentId, uint32_t) {
    return nComponentId == kFactoryComponentId ? &Factory : nullptr;
}

extern "C" __declspec(dllexport) DoubleLog* MsAbiDoubleLog() { return &Log; }
