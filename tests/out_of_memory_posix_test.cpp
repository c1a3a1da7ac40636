// The POSIX stand-ins out of memory: each call that allocates fails as a Windows call does, with
// its failure result and ERROR_NOT_ENOUGH_MEMORY, throws nothing, and works again afterwards.
// Each case runs on a thread of its own, so that the thread's message queue is still to be made.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/windows_api.h"
#include "tests/support/failing_allocator.h"
#include "tests/support/temp_dir.h"

namespace {

LRESULT CALLBACK PlainProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hWnd, nMessage, wParam, lParam);
}

void CALLBACK IgnoreTick(HWND, UINT, UINT_PTR, DWORD) {}

TEST(OutOfMemoryPosixTest, CallsFailWithTheirResultAndWorkAfterwards) {
    CTempDir dir;
    const std::string ini = dir.Write("Mirel.ini", "[Mirel]\nDllPath=Z:\\opt\n");
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = PlainProc;
    windowClass.lpszClassName = "OutOfMemoryPosixTest";
    ASSERT_NE(RegisterClassA(&windowClass), 0);

    HMODULE hFixture = LoadLibraryA("MirelFixture.dll");  // so that the look-ups find something
    ASSERT_NE(hFixture, nullptr);

    struct SCase {
        const char* szName;
        std::function<bool()> fnCall;  // true when the call succeeded
    };
    const SCase cases[] = {
        {"LoadLibraryA", [] { return LoadLibraryA("MirelFixture.dll") != nullptr; }},
        {"GetModuleHandleA", [] { return GetModuleHandleA("MirelFixture.dll") != nullptr; }},
        {"GetModuleFileNameA",
         [] {
             char szPath[MAX_PATH];
             return GetModuleFileNameA(nullptr, szPath, sizeof szPath) != 0;
         }},
        {"GetProcAddress",
         [hFixture] { return GetProcAddress(hFixture, "MirelFixtureAnswer") != nullptr; }},
        {"GetPrivateProfileStringA",
         [&ini] {
             char szValue[64] = "x";
             const DWORD nLength =
                 GetPrivateProfileStringA("Mirel", "DllPath", "default", szValue, 64, ini.c_str());
             return nLength == 6 && std::string(szValue) == "Z:\\opt";
         }},
        {"PostMessageA", [] { return PostMessageA(nullptr, WM_USER, 0, 0) != FALSE; }},
        {"SetTimer", [] { return SetTimer(nullptr, 0, 1000, IgnoreTick) != 0; }},
        {"RegisterClassA",
         [] {
             WNDCLASSA other{};
             other.lpfnWndProc = PlainProc;
             other.lpszClassName = "OutOfMemoryPosixTest.Other";
             return RegisterClassA(&other) != 0;
         }},
        {"CreateWindowExA",
         [] {
             HWND hWnd = CreateWindowExA(0, "OutOfMemoryPosixTest", "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                         nullptr, nullptr, nullptr);
             return hWnd != nullptr && DestroyWindow(hWnd) != FALSE;
         }},
    };
    for (const SCase& c : cases) {
        std::thread([&c] {
            SCOPED_TRACE(c.szName);
            bool bSucceeded = true;
            bool bThrew = false;
            SetLastError(ERROR_SUCCESS);
            try {
                CFailingAllocations failing;
                bSucceeded = c.fnCall();
            } catch (...) {
                bThrew = true;
            }
            EXPECT_FALSE(bThrew);
            EXPECT_FALSE(bSucceeded);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
            EXPECT_TRUE(c.fnCall()) << "fails again once memory is back";
        }).join();
    }
}

// A thread's timer store that must grow and cannot: the set fails, and every timer stays. The
// memory runs out at each step of the growth in turn.
TEST(OutOfMemoryPosixTest, ATimerStoreThatCannotGrowKeepsItsTimers) {
    std::thread([] {
        std::vector<UINT_PTR> ids{SetTimer(nullptr, 0, 100000, IgnoreTick)};
        int nFailures = 0;
        for (int i = 0; i < 300; ++i) {
            UINT_PTR nId = 0;
            {
                CFailingAllocations failing(1, i % 5);
                nId = SetTimer(nullptr, 0, 100000, IgnoreTick);
            }
            if (nId == 0) {
                ++nFailures;
                EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
                nId = SetTimer(nullptr, 0, 100000, IgnoreTick);
            }
            ASSERT_NE(nId, 0u);
            ids.push_back(nId);
        }
        EXPECT_GE(nFailures, 5);  // the store grew
        for (UINT_PTR nId : ids) {
            EXPECT_TRUE(KillTimer(nullptr, nId)) << nId;
        }
    }).join();
}

}  // namespace
