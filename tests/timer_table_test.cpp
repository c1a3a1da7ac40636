// The timer table on its own: the orders in which it hands out an owner's timers and all owners,
// which the manager's KillTimer calls follow, also after the ID counter has wrapped, and an owner
// entry's life. What it finds and forgets over long scrambled runs is the stateful fuzz target's
// check (fuzz/timer_service_fuzz.cpp), which compares the table with its model after every step.
#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
