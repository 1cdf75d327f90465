#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/KNUtils.h"
#include "platform/SessionPreset.h"
#include "platform/VideoProfileLevel.h"

namespace {

using namespace platform;

// The tables hold kilobits; asks far outside them must clamp in bits per second, never overflow.
TEST(KNUtilsVideoParameters, BitratesClampToTheRowsBoundsInBitsPerSecond) {
    auto u = KNUtils::utils();
    const std::tuple<int64_t, int64_t, int64_t> cases[] = {
        {921600, INT64_MIN, 1400000}, {921600, INT64_MAX, 4000000}, {921600, 2000000, 2000000},
        {30965760, INT64_MAX, 48000000}, {27648, 0, 96000},  // 27648 keeps its later row (256 x 144)
    };
    for (const auto& [resolution, asked, given] : cases) {
        EXPECT_EQ(u->clampBitrateForResolution(asked, resolution), given) << resolution << " " << asked;
    }
    EXPECT_EQ(u->frameSizes().at(27648), (Size{256, 144}));
}

}  // namespace
