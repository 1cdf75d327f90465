// Which devices count as old phones: only the family codes 1 to 8.
#include <gtest/gtest.h>

#include "core/KNVersionsHelper.h"
#include "platform/MachineModel.h"

namespace {

bool oldPhone(const char* model) {
    platform::MachineModel::setOverride(model);
    const bool old = KNVersionsHelper::isIphone5sOrLower();
    platform::MachineModel::clearOverride();
    return old;
}

TEST(KNVersionsHelper, OnlyTheOldestPhonesAreOld) {
    EXPECT_EQ(KNVersionsHelper::deviceStrings().size(), 59u);
    EXPECT_TRUE(oldPhone("iPhone1,1"));
    EXPECT_TRUE(oldPhone("iPhone6,2"));
    // iPhone7,2 has the lower code (9) of its pair, and is already new.
    EXPECT_FALSE(oldPhone("iPhone7,2"));
    EXPECT_FALSE(oldPhone("iPhone7,1"));
    EXPECT_FALSE(oldPhone("iPad2,1"));
    EXPECT_FALSE(oldPhone("iPod7,1"));
    EXPECT_FALSE(oldPhone("iPhone99,9"));
    EXPECT_FALSE(oldPhone(""));
    EXPECT_FALSE(KNVersionsHelper::isIphone5sOrLower());  // this host
}

}  // namespace
