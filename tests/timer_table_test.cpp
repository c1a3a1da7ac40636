// The timer table on its own: the orders in which it hands out an owner's timers and all owners,
// which the manager's KillTimer calls follow, also after the ID counter has wrapped, an owner
// entry's life, and its index after a peak. What it finds and forgets over long scrambled runs is
// the stateful fuzz target's check (fuzz/timer_service_fuzz.cpp), which compares the table with its
// model after every step.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "tests/support/failing_allocator.h"
#include "timer/timer_table.h"

namespace {

ITimer* Owner(uintptr_t n) {
    return reinterpret_cast<ITimer*>(n * 64);
}

std::vector<uint32_t> TimersOf(const CTimerTable& table, ITimer* pOwner) {
    std::vector<uint32_t> ids;
    table.ForEachTimerOf(pOwner, [&](uint32_t nId) { ids.push_back(nId); });
    return ids;
}

TEST(TimerTableTest, HandsOutTimersInAscendingIdsAndOwnersInAscendingAddresses) {
    CTimerTable table;
    // After a wrap, small IDs arrive after large ones.
    for (uint32_t nId : {0xFFFFFFFEu, 0xFFFFFFFFu, 1u, 3u, 2u})
        table.Insert(Owner(2), nId, TimerEntry{0, nullptr});
    table.Insert(Owner(1), 7, TimerEntry{0, nullptr});
    EXPECT_EQ(TimersOf(table, Owner(2)),
              (std::vector<uint32_t>{1, 2, 3, 0xFFFFFFFEu, 0xFFFFFFFFu}));

    std::vector<uint32_t> cleared;
    table.Clear([&](uint32_t nId) { cleared.push_back(nId); });
    EXPECT_EQ(cleared, (std::vector<uint32_t>{7, 1, 2, 3, 0xFFFFFFFEu, 0xFFFFFFFFu}));
    EXPECT_FALSE(table.HasAnyOwner());
    EXPECT_FALSE(table.Contains(7));
}

TEST(TimerTableTest, AnOwnerEmptiedTimerByTimerKeepsItsEntry) {
    CTimerTable table;
    table.Insert(Owner(1), 5, TimerEntry{0, nullptr});
    EXPECT_FALSE(table.Erase(Owner(2), 5));
    EXPECT_TRUE(table.Erase(Owner(1), 5));
    EXPECT_FALSE(table.Find(nullptr, 5, nullptr));
    EXPECT_TRUE(table.HasOwner(Owner(1)));
    EXPECT_FALSE(table.HasOwner(Owner(2)));
}

// A peak of timers leaves the ID index many times larger than the few left need, and a look-up
// there misses the cache: the next insertion shrinks it, or, without memory for that, still
// succeeds in the large one. Either way every timer is still found.
TEST(TimerTableTest, AnIndexLeftSparseByAPeakShrinksAtTheNextInsertion) {
    constexpr uint32_t kPeak = 4096;
    constexpr uint32_t kLeft = 8;
    for (bool bMemory : {true, false}) {
        CTimerTable table;
        for (uint32_t nId = 1; nId <= kPeak; ++nId)
            table.Insert(Owner(nId % 7), nId, TimerEntry{0, nullptr});
        for (uint32_t nId = 1; nId <= kPeak - kLeft; ++nId)
            table.Erase(Owner(nId % 7), nId);
        const size_t nAtPeak = table.BytesHeld();
        {
            std::optional<CFailingAllocations> failing;
            if (!bMemory)
                failing.emplace();
            table.Insert(Owner(1), kPeak + 1, TimerEntry{0, nullptr});
        }
        if (bMemory)
            EXPECT_LT(table.BytesHeld(), nAtPeak - kPeak * 8);
        else
            EXPECT_EQ(table.BytesHeld(), nAtPeak);
        for (uint32_t nId = kPeak - kLeft + 1; nId <= kPeak + 1; ++nId)
            EXPECT_TRUE(table.Find(nullptr, nId, nullptr)) << nId;
        EXPECT_EQ(table.TimerCount(), kLeft + 1);
    }
}

}  // namespace
