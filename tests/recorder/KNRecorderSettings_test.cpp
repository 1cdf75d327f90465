#include "kestrune/KNRecorderSettings.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "kestrune/KNStreamInfo.h"
#include "platform/KeyedArchive.h"

TEST(KNRecorderSettings, HostileArchivesDecodeToNothingOrZero) {
    platform::KeyedArchiver otherClass("KNStreamInfo");
    KNStreamInfo::create()->encodeWithCoder(otherClass);
    const auto valid = KNRecorderSettings::recorderSettings()->archivedSettings();
    const std::vector<uint8_t> truncated(valid.begin(), valid.begin() + static_cast<long>(valid.size() / 2));
    EXPECT_EQ(KNRecorderSettings::recorderSettingsWithArchivedData(otherClass.archivedData()), nullptr);
    EXPECT_EQ(KNRecorderSettings::recorderSettingsWithArchivedData(truncated), nullptr);

    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::tuple<double, double, KNVideoFrameSize>> sizes = {
        {nan, 500, {0, 500}},
        {inf, -inf, {0, 0}},
        {1e300, 720, {0, 720}},
        {1920.9, 1080, {1920, 1080}},
    };
    for (const auto& [width, height, expected] : sizes) {
        platform::KeyedArchiver coder("KNRecorderSettings");
        coder.encodeSize("videoFrameSize", {width, height});
        coder.encodeInt64("videoFrameResolution", 0);
        const auto decoded = KNRecorderSettings::recorderSettingsWithArchivedData(coder.archivedData());
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(decoded->videoFrameSize(), expected) << width << " x " << height;
        EXPECT_EQ(decoded->videoBitrate(), 0);
    }
}
