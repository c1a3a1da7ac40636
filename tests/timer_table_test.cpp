// The timer table on its own: what it finds and forgets, checked against a plain ordered model over
// many scrambled operations, and the orders in which it hands out an owner's timers and all
// owners, which the manager's KillTimer calls follow, also after the ID counter has wrapped.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "timer/timer_table.h"

bool operator==(const TimerEntry& a, const TimerEntry& b) {
    return a.nUserValue == b.nUserValue && a.pHandler == b.pHandler;
}

namespace {

ITimer* Owner(uintptr_t n) {
    return reinterpret_cast<ITimer*>(n * 64);
}

std::vector<uint32_t> TimersOf(const CTimerTable& table, ITimer* pOwner) {
    std::vector<uint32_t> ids;
    table.ForEachTimerOf(pOwner, [&](uint32_t nId) { ids.push_back(nId); });
    return ids;
}

TEST(TimerTableTest, AgreesWithAnOrderedModelOverScrambledOperations) {
    CTimerTable table;
    TimerTableView model;
    std::mt19937 random(12345);
    uint32_t nNextId = 0xFFFFFFFFu - 10000;  // wraps past 0 halfway through
    for (int nStep = 0; nStep < 30000; ++nStep) {
        ITimer* pOwner = Owner(1 + random() % 37);
        if (random() % 20 == 0) {  // now and then an owner goes with all its timers
            model.erase(pOwner);
            table.EraseOwner(pOwner);
        } else if (random() % 3 != 0) {
            if (++nNextId == 0)
                ++nNextId;
            const TimerEntry entry{static_cast<int32_t>(nStep), nullptr};
            table.Insert(pOwner, nNextId, entry);
            model[pOwner][nNextId] = entry;
        } else if (!model[pOwner].empty()) {
            auto it = model[pOwner].begin();
            std::advance(it, random() % model[pOwner].size());
            EXPECT_TRUE(table.Erase(pOwner, it->first));
            EXPECT_FALSE(table.Erase(Owner(99), it->first));  // not that owner's
            model[pOwner].erase(it);
        } else {
            model.erase(pOwner);
            table.EraseOwner(pOwner);
        }
    }
    // The model keeps owners that were only looked at; the table keeps those that had a timer.
    for (auto it = model.begin(); it != model.end();)
        it = it->second.empty() && !table.HasOwner(it->first) ? model.erase(it) : std::next(it);
    ASSERT_EQ(table.View().size(), model.size());
    size_t nTimers = 0;
    for (const auto& owner : model) {
        nTimers += owner.second.size();
        for (const auto& timer : owner.second) {
            TimerEntry entry{};
            ITimer* pHolder = nullptr;
            ASSERT_TRUE(table.Find(nullptr, timer.first, &entry, &pHolder));
            EXPECT_EQ(pHolder, owner.first);
            EXPECT_EQ(entry.nUserValue, timer.second.nUserValue);
        }
    }
    EXPECT_EQ(table.TimerCount(), nTimers);
    EXPECT_EQ(table.View(), model);
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
