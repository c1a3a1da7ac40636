// The module frame under threads: releases, creations and MirelDllFreeMap at the same time, a
// creation at the address of a component another thread is destroying, the unload check while
// another thread is inside the module lock, the host's configuration changing under readers, and
// running out of memory in CreateComponent. The program carries its own module frame.
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "mirel/exports.h"
#include "module/factory_table.h"
#include "module/live_registry.h"
#include "base/module_lock.h"
#include "base/module_state.h"
#include "platform/debug_capture.h"
#include "tests/support/failing_allocator.h"
#include "tests/support/test_component.h"

LiveComponentMap LiveRegistry;

namespace {

constexpr int32_t kRecycledComponentId = 4301;
constexpr int32_t kThrowingComponentId = 4302;

TestComponentLog Log;
std::atomic<int> Created{0};

// Placed at one fixed address whenever that address is free, as a last-freed-first-reused
// allocator places a new object where the last one died.
class CRecycledComponent : public TTestComponent<kRecycledComponentId> {
public:
    using TTestComponent::TTestComponent;
    static void* operator new(size_t nSize) {
        bool bFree = false;
        return s_bSlotUsed.compare_exchange_strong(bFree, true) ? s_slot : ::operator new(nSize);
    }
    static void operator delete(void* p) {
        if (p == s_slot) {
            s_bSlotUsed = false;
        } else {
            ::operator delete(p);
        }
    }
    static void* Slot() { return s_slot; }

private:
    alignas(std::max_align_t) static unsigned char s_slot[256];
    static std::atomic<bool> s_bSlotUsed;
};
alignas(std::max_align_t) unsigned char CRecycledComponent::s_slot[256];
std::atomic<bool> CRecycledComponent::s_bSlotUsed{false};
static_assert(sizeof(CRecycledComponent) <= 256, "the slot holds one component");

IComponent* CreateTest() {
    ++Created;
    return new CTestComponent(&Log);
}
IComponent* CreateRecycled() {
    return new CRecycledComponent(&Log);
}
IComponent* CreateThrowing() {
    throw std::bad_alloc();
}

CFactoryRegistration Registrations[] = {
    {kTestComponentId, CreateTest},
    {kRecycledComponentId, CreateRecycled},
    {kThrowingComponentId, CreateThrowing},
};

bool WaitUntil(const std::function<bool()>& condition, int nTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs body(thread index) on nThreads threads until the time is up.
void RunFor(int nThreads, int nMilliseconds, const std::function<void(int)>& body) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(nMilliseconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < nThreads; ++i) {
        threads.emplace_back([&, i] {
            while (std::chrono::steady_clock::now() < deadline)
                body(i);
        });
    }
    for (std::thread& t : threads)
        t.join();
}

bool HasNotExistLine(const CDebugCapture& capture) {
    return capture.Text().find("To remove a component not exist") != std::string::npos;
}

class ModuleThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        MirelSetDllSafe(1);
        SetFactoryHandle(nullptr);
        Log.Reset();
    }
    void TearDown() override {
        EXPECT_EQ(LiveRegistry.size(), 0u);
        EXPECT_FALSE(HasNotExistLine(m_capture)) << m_capture.Text();
    }
    CDebugCapture m_capture;
};

// Thread B releases X while another thread creates Y at X's address and walks the registry: the
// destruction and the removal of X are one step, so Y's entry survives and the walk never meets a
// destroyed object.
TEST_F(ModuleThreadsTest, ACreationAtAReleasedAddressKeepsItsEntry) {
    IComponent* pX = CreateComponent(kRecycledComponentId, 1);
    ASSERT_EQ(static_cast<void*>(pX), CRecycledComponent::Slot());
    IComponent* pY = nullptr;
    std::thread releaser;
    {
        CModuleLockScope held;
        releaser = std::thread([pX] { pX->Release(0); });
        // The release may not destroy X while another thread is inside the lock.
        EXPECT_FALSE(WaitUntil([] { return Log.nDestroyed > 0; }, 200));
        pY = CreateComponent(kRecycledComponentId, 2);
        MirelDllFreeMap();
    }
    releaser.join();
    ASSERT_NE(pY, nullptr);
    EXPECT_EQ(LiveRegistry.size(), 1u);
    EXPECT_EQ(LiveRegistry.count(pY), 1u);
    EXPECT_EQ(MirelDllCanUnloadNow(), 0);
    pY->Release(0);
}

TEST_F(ModuleThreadsTest, ReleasesCreationsAndFreeMapAtOnceLoseNothing) {
    std::atomic<int> nAutoFreeMade{0};
    RunFor(5, 1500, [&](int nThread) {
        if (nThread == 0) {
            MirelDllFreeMap();
        } else if (nThread == 1) {
            // Components nobody but MirelDllFreeMap releases.
            IComponent* p = CreateComponent(kTestComponentId, 1);
            p->SetAutoFree(1);
            ++nAutoFreeMade;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        } else {
            IComponent* p = CreateComponent(kTestComponentId, 2);
            p->Release(0);
        }
    });
    MirelDllFreeMap();
    EXPECT_GT(nAutoFreeMade.load(), 0);
    EXPECT_EQ(Log.nDestroyed.load(), Created.exchange(0));
    EXPECT_EQ(MirelDllCanUnloadNow(), 1);
}

// Run with glibc's tcache off and one arena (see the test's environment), so that a freed address
// comes back at once to another thread.
TEST_F(ModuleThreadsTest, EightThreadsCreatingAndReleasingKeepTheCountTrue) {
    std::atomic<int> nMismatches{0};
    RunFor(8, 1500, [&](int) {
        IComponent* p = CreateComponent(kTestComponentId, 3);
        // This thread's own component is live, so the module is not idle.
        if (MirelDllCanUnloadNow() != 0)
            ++nMismatches;
        p->Release(0);
    });
    EXPECT_EQ(nMismatches.load(), 0);
    EXPECT_EQ(Log.nDestroyed.load(), Created.exchange(0));
}

// The module is busy while another thread runs its code for a component (a module frame: a
// creation, a release and its notification, a dispatch), not while a thread merely holds its lock
// (SetDLLRegistry, GetComponentIDs, a MirelDllFreeMap with nothing to free).
TEST_F(ModuleThreadsTest, TheModuleIsBusyWhileAnotherThreadRunsForAComponentNotForItsLock) {
    EXPECT_EQ(MirelDllCanUnloadNow(), 1);
    std::atomic<int> nStep{0};
    std::thread holder([&] {
        {
            CModuleLockScope held;
            nStep = 1;
            WaitUntil([&] { return nStep.load() == 2; }, 5000);
        }
        CModuleFrame frame;
        nStep = 3;
        WaitUntil([&] { return nStep.load() == 4; }, 5000);
    });
    ASSERT_TRUE(WaitUntil([&] { return nStep.load() == 1; }, 5000));
    EXPECT_EQ(MirelDllCanUnloadNow(), 1);
    nStep = 2;
    ASSERT_TRUE(WaitUntil([&] { return nStep.load() == 3; }, 5000));
    EXPECT_EQ(MirelDllCanUnloadNow(), 0);
    nStep = 4;
    holder.join();
    EXPECT_EQ(MirelDllCanUnloadNow(), 1);
}

TEST_F(ModuleThreadsTest, ReadersSeeTheOldPathOrTheNewOneWhole) {
    const std::string pathA = "C:\\" + std::string(200, 'a') + "\\Mirel.ini";
    const std::string pathB = "D:\\b.ini";
    int markerA = 0, markerB = 0;
    SetDLLRegistry(pathA.c_str());
    SetFactoryHandle(&markerA);
    std::atomic<int> nTorn{0};
    RunFor(3, 500, [&](int nThread) {
        if (nThread == 0) {
            SetDLLRegistry(pathB.c_str());
            SetFactoryHandle(&markerB);
            SetDLLRegistry(pathA.c_str());
            SetFactoryHandle(&markerA);
            return;
        }
        auto* p = static_cast<CTestComponent*>(CreateComponent(kTestComponentId, 4));
        char szPath[kPathBufferSize] = {0};
        p->ResolveRegistryPath(nullptr, szPath, kPathBufferSize);
        const HMODULE hFactory = FactoryHandle.load();
        if ((szPath != pathA && szPath != pathB) ||
            (hFactory != reinterpret_cast<HMODULE>(&markerA) &&
             hFactory != reinterpret_cast<HMODULE>(&markerB)))
            ++nTorn;
        p->Release(0);
    });
    EXPECT_EQ(nTorn.load(), 0);
    SetDLLRegistry(nullptr);
    SetFactoryHandle(nullptr);
    Created = 0;
}

TEST_F(ModuleThreadsTest, CreationOutOfMemoryOrThrowingGivesNullAndLeaksNothing) {
    {
        CFailingAllocations failing;
        EXPECT_EQ(CreateComponent(kTestComponentId, 9), nullptr);
    }
    EXPECT_EQ(Created.exchange(0), 0);  // nothing was created that could be left behind
    ASSERT_EQ(m_capture.Lines().size(), 1u);
    EXPECT_EQ(m_capture.Lines()[0].rfind("Mirel[Error]", 0), 0u);

    m_capture.Clear();
    EXPECT_EQ(CreateComponent(kThrowingComponentId, 9), nullptr);
    EXPECT_EQ(m_capture.Lines(),
              (std::vector<std::string>{"Mirel[Error]:CreateComponent method return NULL.\n",
                                        "Mirel[Error]: ComponentID=4302 CreatorID=9"}));
    EXPECT_EQ(MirelDllCanUnloadNow(), 1);
}

// The last release's idle notification finds the factory through the loader; out of memory
// there, the release still ends the component and throws nothing.
TEST_F(ModuleThreadsTest, ALastReleaseOutOfMemoryInItsIdleNotificationThrowsNothing) {
    IComponent* p = CreateComponent(kTestComponentId, 9);
    ASSERT_NE(p, nullptr);
    bool bThrew = false;
    try {
        CFailingAllocations failing;
        p->Release(0);
    } catch (...) {
        bThrew = true;
    }
    EXPECT_FALSE(bThrew);
    EXPECT_EQ(Log.nDestroyed.load(), Created.exchange(0));
}

}  // namespace
