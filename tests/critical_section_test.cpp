// The module's locks. Critical sections as the module lock uses them: the owner may enter again and
// must leave as often, and other threads wait until it has left for good. The leaf lock of the
// timer manager, which debug builds let a call-out check it does not hold.
#include <atomic>
#include <condition_variable>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/leaf_lock.h"
#include "platform/windows_api.h"

namespace {

class CriticalSection : public testing::Test {
protected:
    void SetUp() override { InitializeCriticalSection(&m_section); }
    void TearDown() override { DeleteCriticalSection(&m_section); }
    CRITICAL_SECTION m_section;
};

// Another thread is shut out until the owner has left as often as it entered.
TEST_F(CriticalSection, OwnerReentersAndOthersWaitForTheLastLeave) {
    EnterCriticalSection(&m_section);
    EnterCriticalSection(&m_section);
    EnterCriticalSection(&m_section);
    std::atomic<bool> bEntered{false};
    std::thread other([&] {
        EnterCriticalSection(&m_section);
        bEntered = true;
        LeaveCriticalSection(&m_section);
    });
    LeaveCriticalSection(&m_section);
    LeaveCriticalSection(&m_section);
    Sleep(100);
    EXPECT_FALSE(bEntered) << "entered while the owner still held the section once";
    LeaveCriticalSection(&m_section);
    other.join();
    EXPECT_TRUE(bEntered);
}

// A read-modify-write under the section loses no update, however the threads interleave.
TEST_F(CriticalSection, ExcludesOtherThreads) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    long nCounter = 0;
    int nInside = 0;
    std::atomic<bool> bOverlap{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                EnterCriticalSection(&m_section);
                EnterCriticalSection(&m_section);
                if (++nInside != 1) {
                    bOverlap = true;
                }
                long nValue = nCounter;
                nCounter = nValue + 1;
                --nInside;
                LeaveCriticalSection(&m_section);
                LeaveCriticalSection(&m_section);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(bOverlap);
    EXPECT_EQ(nCounter, static_cast<long>(kThreads) * kRounds);
}

#ifdef NDEBUG
constexpr bool kHolderRecorded = false;  // release builds keep no holder: the check costs nothing
#else
constexpr bool kHolderRecorded = true;
#endif

// The holder is this thread only while it holds the lock: not for another thread meanwhile, not
// during a wait on a condition (another thread takes the lock then), and again once the wait ends.
TEST(LeafLock, KnowsWhetherTheCallingThreadHoldsIt) {
    CLeafLock lock;
    std::condition_variable condition;
    EXPECT_FALSE(lock.IsHeldByCurrentThread());
    std::unique_lock<CLeafLock> held(lock);
    EXPECT_EQ(lock.IsHeldByCurrentThread(), kHolderRecorded);
    bool bSignalled = false;
    bool bOtherSawItsOwn = true;
    std::thread other([&] {
        std::lock_guard<CLeafLock> guard(lock);  // free only while the first thread waits
        bOtherSawItsOwn = lock.IsHeldByCurrentThread() == kHolderRecorded;
        bSignalled = true;
        condition.notify_one();
    });
    while (!bSignalled) {
        CLeafLock::Wait(condition, held);
    }
    EXPECT_TRUE(bOtherSawItsOwn);
    EXPECT_EQ(lock.IsHeldByCurrentThread(), kHolderRecorded);
    held.unlock();
    EXPECT_FALSE(lock.IsHeldByCurrentThread());
    other.join();
}

}  // namespace
