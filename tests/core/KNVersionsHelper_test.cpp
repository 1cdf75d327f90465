// Which devices count as old phones: only the family codes 1 to 8.
#include <gtest/gtest.h>

#include "core/KNVersionsHelper.h"
#include "platform/MachineModel.h"

namespace {

class KNVersionsHelperTest : public ::testing::Test {
protected:
    void TearDown() override { platform::MachineModel::clearOverride(); }

    static bool oldPhone(const char* model) {
        platform::MachineModel::setOverride(model);
        return KNVersionsHelper::isIphone5sOrLower();
    }
};

TEST_F(KNVersionsHelperTest, OnlyTheOldestPhonesAreOld) {
    EXPECT_TRUE(oldPhone("iPhone1,1"));
    EXPECT_TRUE(oldPhone("iPhone6,2"));
    // iPhone7,2 has the lower code (9) of its pair, and is already new.
    EXPECT_FALSE(oldPhone("iPhone7,2"));
    EXPECT_FALSE(oldPhone("iPhone7,1"));
    EXPECT_FALSE(oldPhone("x86_64"));
    EXPECT_FALSE(oldPhone("iPad2,1"));
    EXPECT_FALSE(oldPhone("iPod7,1"));
    EXPECT_FALSE(oldPhone("iPhone99,9"));
    EXPECT_FALSE(oldPhone(""));
}

TEST_F(KNVersionsHelperTest, TableHoldsEveryFamily) {
    const auto table = KNVersionsHelper::deviceStrings();
    EXPECT_EQ(table.size(), 59u);
    EXPECT_EQ(table.at("iPhone7,2"), 9);
    EXPECT_EQ(table.at("iPhone7,1"), 10);
    EXPECT_EQ(table.at("iPad6,8"), 111);
    EXPECT_EQ(table.at("iPod1,1"), 200);
}

TEST_F(KNVersionsHelperTest, ThisHostIsNotAnOldPhone) {
    EXPECT_EQ(KNVersionsHelper::deviceName(), platform::MachineModel::name());
    EXPECT_FALSE(KNVersionsHelper::isIphone5sOrLower());
}

}  // namespace
