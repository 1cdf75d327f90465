#include <gtest/gtest.h>

#include "platform/RunLoop.h"

// The tests drive the main loop by hand, as a host that claims it would.
int main(int argc, char** argv) {
    platform::RunLoop::claimMain();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
