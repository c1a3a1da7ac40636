// The shipped module as another module sees it: loaded by file name, its seven exports found by
// name (and, on Windows, by ordinal), driven through them, and unloaded for real. A probe module
// on the same frame shows the load and unload order of the entry point and the static objects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mirel/component_factory.h"
#include "mirel/exports.h"
#include "mirel/timer.h"
#include "platform/windows_api.h"
#include "platform/debug_capture.h"

namespace {

const char* const kExportNames[] = {"CreateComponent",      "SetDLLRegistry",   "MirelDllFreeMap",
                                    "MirelDllCanUnloadNow", "SetFactoryHandle", "MirelSetDllSafe",
                                    "GetComponentIDs"};

template <class Fn>
Fn Export(HMODULE hModule, const char* szName) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(hModule, szName)));
}

TEST(ModuleExportsTest, TheSevenExportsAreThereByNameAndOrdinal) {
    HMODULE hModule = LoadLibraryA("MirelTimer.dll");
    ASSERT_NE(hModule, nullptr);
    for (int i = 0; i < 7; ++i) {
        FARPROC pByName = GetProcAddress(hModule, kExportNames[i]);
        EXPECT_NE(pByName, nullptr) << kExportNames[i];
#ifdef _WIN32
        FARPROC pByOrdinal =
            GetProcAddress(hModule, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(i + 1)));
        EXPECT_EQ(pByOrdinal, pByName) << "ordinal " << (i + 1);
#endif
    }
    EXPECT_EQ(GetProcAddress(hModule, "DllMain"), nullptr);
    EXPECT_EQ(GetProcAddress(hModule, "TraceModuleError"), nullptr);
    FreeLibrary(hModule);
}

TEST(ModuleExportsTest, ATimerComponentGoesThroughTheExportsAndTheModuleUnloads) {
    CDebugCapture capture;
    HMODULE hModule = LoadLibraryA("MirelTimer.dll");
    ASSERT_NE(hModule, nullptr);
    auto pfnCreate = Export<CreateComponentFn>(hModule, "CreateComponent");
    auto pfnIds = Export<GetComponentIDsFn>(hModule, "GetComponentIDs");
    auto pfnCanUnload = Export<MirelDllCanUnloadNowFn>(hModule, "MirelDllCanUnloadNow");
    ASSERT_TRUE(pfnCreate && pfnIds && pfnCanUnload);

    int32_t ids[5] = {0};
    EXPECT_EQ(pfnIds(nullptr, 0), 1);
    EXPECT_EQ(pfnIds(ids, 5), 1);
    EXPECT_EQ(ids[0], kTimerComponentId);

    EXPECT_EQ(pfnCreate(12, 7), nullptr);
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
                                   "Mirel[Error]: Can't find the factory method of Component\n",
                                   "Mirel[Error]: ComponentID=12 CreatorID=7"}));

    IComponent* pTimer = pfnCreate(kTimerComponentId, 3);
    ASSERT_NE(pTimer, nullptr);
    EXPECT_EQ(pTimer->GetComponentID(), 0x31B);
    EXPECT_EQ(pTimer->GetComponentVersion(), 1);
    EXPECT_EQ(pfnCanUnload(), 0);
    pTimer->Release(0);
    EXPECT_EQ(pfnCanUnload(), 1);

    capture.Clear();
    FreeLibrary(hModule);
    EXPECT_EQ(GetModuleHandleA("MirelTimer.dll"), nullptr);
    EXPECT_EQ(capture.Text(), "");  // nothing leaked, nothing reported
}

TEST(ModuleExportsTest, StaticObjectsComeBeforeAttachAndGoAfterDetachWithItsLeakReport) {
    CDebugCapture capture;
    HMODULE hModule = LoadLibraryA("MirelOrderProbe.dll");
    ASSERT_NE(hModule, nullptr);
    auto pfnCreate = Export<CreateComponentFn>(hModule, "CreateComponent");
    ASSERT_NE(pfnCreate, nullptr);
    ASSERT_NE(pfnCreate(4242, 9), nullptr);  // left alive on purpose: a leak at unload
    FreeLibrary(hModule);
    EXPECT_EQ(GetModuleHandleA("MirelOrderProbe.dll"), nullptr);

    const std::string banner =
        "Mirel[Error]:=================================================================\n";
    std::vector<std::string> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 6u) << capture.Text();
    EXPECT_EQ(lines[0], "probe: constructed before attach\n");
    EXPECT_EQ(lines[1], banner);
    EXPECT_EQ(lines[2], "Mirel[Error]:Found leak Mirel components. Count:1\n");
    EXPECT_EQ(
        lines[3].rfind("Mirel[Error]:ComponentID:0x00001092 CreatorID:0x00000009 Pointer:0x", 0),
        0u);
    EXPECT_EQ(lines[4], banner);
    EXPECT_EQ(lines[5], "probe: destroyed after detach\n");
}

}  // namespace
