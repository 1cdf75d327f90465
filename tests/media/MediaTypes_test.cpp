// Media time arithmetic across time scales and at the limits.
#include <gtest/gtest.h>

#include "platform/media/MediaTime.h"

using platform::MediaTime;

TEST(MediaTime, ArithmeticAcrossTimeScalesIsExactOrSaturatesAndOrderCompareInstants) {
    EXPECT_EQ(MediaTime::make(1, 48000) + MediaTime::make(1, 90000), MediaTime::make(1 * 15 + 8, 720000));
    EXPECT_EQ(MediaTime::make(-1, 4).convertScale(2).value, -1);  // half away from zero

    const MediaTime huge = MediaTime::make(INT64_MAX - 1, 1);
    EXPECT_EQ(huge + huge, MediaTime::positiveInfinity());
    EXPECT_EQ(MediaTime::make(INT64_MIN + 1, 1) - huge, MediaTime::negativeInfinity());
    EXPECT_EQ(huge.convertScale(90000), MediaTime::positiveInfinity());
    EXPECT_FALSE((MediaTime::positiveInfinity() + MediaTime::negativeInfinity()).isValid());

    EXPECT_LT(MediaTime::make(INT64_MAX / 2, 3), MediaTime::make(INT64_MAX / 2, 2));  // no overflow in the cross product
    EXPECT_LT(MediaTime::invalid(), MediaTime::negativeInfinity());
    EXPECT_LT(MediaTime::negativeInfinity(), MediaTime::make(INT64_MIN, 1));
    EXPECT_LT(MediaTime::make(INT64_MAX, 1), MediaTime::positiveInfinity());
    EXPECT_LT(MediaTime::positiveInfinity(), MediaTime::indefinite());
}
