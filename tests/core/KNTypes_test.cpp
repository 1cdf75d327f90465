// Display texts of the enumerations, the resolution names, frame sizes and the platform converter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "core/KNConverter.h"
#include "kestrune/KNTypes.h"

namespace {

TEST(KNTypes, ResolutionNamesAreTheDocumentedTable) {
    const std::map<int64_t, std::string> expected{
        {0, "Custom Resolution"},
        {27648, "192 x 144"},
        {76800, "240p (320 x 240)"},
        {101376, "288p (352 x 288)"},
        {102240, "240p-wide (426 x 240)"},
        {172800, "360p (480 x 360)"},
        {230400, "360p-wide (640 x 360)"},
        {307200, "480p (640 x 480)"},
        {409920, "480p (854 x 480)"},
        {518400, "960 x 540"},
        {921600, "720p (1280 x 720)"},
        {2073600, "1080p (1920 x 1080)"},
        {3686400, "1440p (2560 x 1440)"},
    };
    EXPECT_EQ(resolutionNamesDictionary(), expected);
    for (const auto& [resolution, name] : expected) EXPECT_EQ(KNVideoFrameResolutionAsString(resolution), name);

    // Known to the parameter tables, but without a display name.
    EXPECT_EQ(KNVideoFrameResolutionAsString(8294400), "Unknown");
    EXPECT_EQ(KNVideoFrameResolutionAsString(30965760), "Unknown");
    EXPECT_EQ(KNVideoFrameResolutionAsString(36864), "Unknown");
    EXPECT_EQ(KNVideoFrameResolutionAsString(-1), "Unknown");

    std::vector<int64_t> keys;
    for (const auto& entry : expected) keys.push_back(entry.first);
    std::vector<int64_t> all = KNAllResolutions();
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, keys);
}

TEST(KNTypes, EnumerationTextsCoverEveryValueAndAnythingElseIsUnknown) {
    struct Case {
        std::string (*text)(int64_t);
        std::map<int64_t, std::string> names;
    };
    const std::vector<Case> cases{
        {KNVideoOrientationAsString,
         {{0, "PT Orientation"},
          {1, "PT Upside-down Orientation"},
          {2, "LS Right Orientation"},
          {3, "LS Left Orientation"},
          {4, "PT & LS - autorotate"}}},
        {KNCameraAsString, {{0, "Back Camera"}, {1, "Front Camera"}}},
        {KNRecordingModeAsString, {{0, "Audio & Video"}, {1, "Audio Only"}, {2, "Video Only"}}},
        {KNTorchModeAsString, {{0, "Torch OFF"}, {1, "Torch ON"}, {2, "Torch AUTO"}}},
    };
    const int64_t outside[] = {-1, 5, 3, 100, INT64_MIN, INT64_MAX};
    for (const Case& c : cases) {
        for (const auto& [value, name] : c.names) EXPECT_EQ(c.text(value), name) << value;
        for (int64_t value : outside) {
            if (c.names.count(value) == 0) {
                EXPECT_EQ(c.text(value), "Unknown") << value;
            }
        }
    }
    // Values a host stored in the enumeration types themselves survive to the text.
    EXPECT_EQ(KNCameraAsString(KNCamera{7}), "Unknown");
    EXPECT_EQ(KNVideoOrientationAsString(KNVideoOrientationAutorotate), "PT & LS - autorotate");
}

TEST(KNTypes, RateTextsPrintTheNumberWithItsSign) {
    EXPECT_EQ(KNAudioSampleRateAsString(44100), "44100 Hz");
    EXPECT_EQ(KNAudioSampleRateAsString(-8000), "-8000 Hz");
    EXPECT_EQ(KNAudioSampleRateAsString(INT64_MIN), "-9223372036854775808 Hz");
    EXPECT_EQ(KNFrameRateAsString(30), "30fps");
    EXPECT_EQ(KNFrameRateAsString(-5), "-5fps");
    EXPECT_EQ(KNFrameRateAsString(INT64_MAX), "9223372036854775807fps");
}

TEST(KNTypes, FrameSizeConversionsTruncateAndSaturate) {
    EXPECT_EQ(KNVideoFrameSizeMake(1280, 720), (KNVideoFrameSize{1280, 720}));
    EXPECT_EQ(KNVideoFrameSizeRotated(KNVideoFrameSizeMake(1280, 720)), (KNVideoFrameSize{720, 1280}));

    EXPECT_EQ(KNVideoFrameSizeWithCGSize({1279.9, 719.5}), (KNVideoFrameSize{1279, 719}));
    EXPECT_EQ(KNVideoFrameSizeWithCGSize({-1.5, -0.5}), (KNVideoFrameSize{-1, 0}));

    // Sizes read back from a damaged archive must not become undefined behaviour.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(KNVideoFrameSizeWithCGSize({nan, nan}), (KNVideoFrameSize{0, 0}));
    EXPECT_EQ(KNVideoFrameSizeWithCGSize({inf, -inf}), (KNVideoFrameSize{INT64_MAX, INT64_MIN}));
    EXPECT_EQ(KNVideoFrameSizeWithCGSize({1e300, -1e300}), (KNVideoFrameSize{INT64_MAX, INT64_MIN}));
    EXPECT_EQ(KNVideoFrameSizeWithCGSize({9223372036854775808.0, -9223372036854775808.0}),
              (KNVideoFrameSize{INT64_MAX, INT64_MIN}));
    // The largest double below 2^63 still converts exactly.
    EXPECT_EQ(KNVideoFrameSizeWithCGSize({9223372036854774784.0, 0}).width, 9223372036854774784LL);

    EXPECT_EQ(CGSizeWithKNVideoFrameSize({1920, 1080}), (platform::Size{1920.0, 1080.0}));
    EXPECT_EQ(KNVideoFrameSizeWithCGSize(CGSizeWithKNVideoFrameSize({-3, 7})), (KNVideoFrameSize{-3, 7}));
}

TEST(KNConverter, OrientationsMapOntoThePlatformNumbers) {
    auto converter = KNConverter::converter();
    ASSERT_NE(converter, nullptr);
    EXPECT_NE(converter, KNConverter::converter());

    // interface orientation -> (capture orientation, video orientation)
    const std::map<int64_t, std::pair<int64_t, int64_t>> fromInterface{
        {0, {1, 0}}, {1, {1, 0}}, {2, {2, 1}}, {3, {3, 2}}, {4, {4, 3}}, {5, {1, 0}}, {-1, {1, 0}},
    };
    for (const auto& [interface, expected] : fromInterface) {
        EXPECT_EQ(converter->captureVideoOrientationFromInterfaceOrientation(interface), expected.first) << interface;
        EXPECT_EQ(converter->videoOrientationForInterfaceOrientation(interface), expected.second) << interface;
    }

    // video orientation -> (interface orientation, image orientation); autorotate is portrait/up.
    const std::map<int64_t, std::pair<int64_t, int64_t>> fromVideo{
        {0, {1, 0}}, {1, {2, 1}}, {2, {3, 3}}, {3, {4, 2}}, {4, {1, 0}}, {5, {1, 0}}, {-1, {1, 0}},
    };
    for (const auto& [video, expected] : fromVideo) {
        EXPECT_EQ(converter->interfaceOrientationForVideoOrientation(video), expected.first) << video;
        EXPECT_EQ(converter->imageOrientationForVideoOrientation(video), expected.second) << video;
    }

    // A round trip through the interface orientation keeps every fixed orientation.
    for (int64_t video = 0; video <= 3; ++video) {
        EXPECT_EQ(converter->videoOrientationForInterfaceOrientation(
                      converter->interfaceOrientationForVideoOrientation(video)),
                  video);
    }
}

TEST(KNConverter, CameraAndTorchMapOntoThePlatformNumbers) {
    auto converter = KNConverter::converter();
    const std::map<int64_t, int64_t> positions{{0, 1}, {1, 2}, {2, 0}, {5, 0}, {-1, 0}};
    for (const auto& [camera, position] : positions) {
        EXPECT_EQ(converter->captureDevicePositionForCamera(camera), position) << camera;
    }
    const std::map<int64_t, int64_t> torches{{0, 0}, {1, 1}, {2, 2}, {3, 0}, {7, 0}, {-1, 0}};
    for (const auto& [mode, torch] : torches) {
        EXPECT_EQ(converter->captureTorchModeForTorchMode(mode), torch) << mode;
    }
}

}  // namespace
