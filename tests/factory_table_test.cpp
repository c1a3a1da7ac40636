// The factory table's limits: 512 rows, no zero IDs, no null functions, first row wins. A program
// of its own, because it fills the table for good.
#include <gtest/gtest.h>

#include <vector>

#include "mirel/exports.h"
#include "module/factory_table.h"
#include "tests/support/test_module_statics.h"

namespace {

IComponent* CreateNothing() {
    return nullptr;
}

TEST(FactoryTableTest, RegistrationsBeyondTheLimitsLeaveTheTableUnchanged) {
    RegisterFactoryEntry(0, CreateNothing);
    RegisterFactoryEntry(7001, nullptr);
    EXPECT_EQ(GetComponentIDs(nullptr, 0), kTestTableRows);
    EXPECT_EQ(FindCreateFunction(7001), nullptr);
    EXPECT_EQ(FindCreateFunction(0), nullptr);

    for (int32_t nId = 10000; GetComponentIDs(nullptr, 0) < 512; ++nId) {
        RegisterFactoryEntry(nId, CreateNothing);
    }
    RegisterFactoryEntry(99999, CreateNothing);  // the 513th row
    EXPECT_EQ(GetComponentIDs(nullptr, 0), 512);
    EXPECT_EQ(FindCreateFunction(99999), nullptr);

    std::vector<int32_t> ids(600, -1);
    EXPECT_EQ(GetComponentIDs(ids.data(), static_cast<uint32_t>(ids.size())), 512);
    EXPECT_EQ(ids[0], kTestComponentId);
    EXPECT_EQ(ids[511], 10000 + 511 - kTestTableRows);
    EXPECT_EQ(ids[512], -1);
}

}  // namespace
