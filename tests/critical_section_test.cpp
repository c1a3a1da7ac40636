// Critical sections as the module lock uses them: the owner may enter again and must leave as
// often, and other threads wait until it has left for good.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

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

}  // namespace
