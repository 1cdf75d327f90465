#include "platform/MachineModel.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

using platform::MachineModel;

TEST(MachineModel, ReportsTheKernelsMachineUnlessOverridden) {
    utsname info{};
    ASSERT_EQ(uname(&info), 0);
    EXPECT_EQ(MachineModel::name(), info.machine);
    EXPECT_FALSE(MachineModel::name().empty());

    MachineModel::setOverride("iPhone6,2");
    EXPECT_EQ(MachineModel::name(), "iPhone6,2");
    // An empty override poses as a device whose identifier couldn't be read.
    MachineModel::setOverride("");
    EXPECT_EQ(MachineModel::name(), "");

    MachineModel::clearOverride();
    EXPECT_EQ(MachineModel::name(), info.machine);
}
