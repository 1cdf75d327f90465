#include "capture/KNCaptureDeviceCapabilities.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/capture/SyntheticCaptureDevice.h"

using namespace platform;

namespace {

CaptureDeviceFormat format(int32_t width, int32_t height, std::vector<FrameRateRange> ranges) {
    CaptureDeviceFormat f;
    f.width = width;
    f.height = height;
    f.videoSupportedFrameRateRanges = std::move(ranges);
    return f;
}

std::shared_ptr<SyntheticCaptureDevice> deviceWith(std::vector<CaptureDeviceFormat> formats) {
    return SyntheticCaptureDevice::create("scripted", "scripted", CaptureDevicePosition::Back, std::move(formats), {});
}

// A camera that answers preset questions from a list, as a phone's does.
class PresetDevice : public CaptureDevice {
public:
    explicit PresetDevice(std::set<std::string> presets)
        : CaptureDevice("presets", "presets", CaptureDevicePosition::Back, {}, {}), presets_(std::move(presets)) {}
    bool supportsSessionPreset(const SessionPreset& preset) const override { return presets_.count(preset) > 0; }
    bool startStreaming(FrameSink, FailureSink) override { return false; }
    void stopStreaming() override {}

private:
    std::set<std::string> presets_;
};

}  // namespace

TEST(KNCaptureDeviceCapabilities, FrameRateQueriesFollowTheRangesOfEveryFormat) {
    const FrameRateRange ntsc = FrameRateRange::make(1.5, 29.97);
    const FrameRateRange sixty = FrameRateRange::make(1, 60);
    const FrameRateRange alsoSixty = FrameRateRange::make(30, 60);
    auto device = deviceWith({format(1280, 720, {ntsc}), format(640, 480, {sixty, alsoSixty})});
    ASSERT_TRUE(bestSupportedFrameRateRange(*device).has_value());
    EXPECT_EQ(*bestSupportedFrameRateRange(*device), sixty);
    EXPECT_EQ(bestSupportedFrameRateNSRange(*device), (Range{1, 60}));
    EXPECT_EQ(bestSupportedFrameRateNSRange(*deviceWith({format(1280, 720, {ntsc})})), (Range{2, 29}));

    auto upTo30 = deviceWith({format(1280, 720, {FrameRateRange::make(1, 30)})});
    struct Row {
        std::shared_ptr<SyntheticCaptureDevice> device;
        int64_t rate;
        bool supported;
    };
    const Row rows[] = {
        {upTo30, 30, true},  {upTo30, 1, true},  {upTo30, 31, false}, {upTo30, 0, false},
        {device, 30, true},  {device, 61, false}, {deviceWith({format(1280, 720, {ntsc})}), 30, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(isFrameRateSupported(*row.device, row.rate), row.supported) << row.rate;
    }
}

TEST(KNCaptureDeviceCapabilities, SizesMatchInEitherOrientationAndResolutionsKeepTheTablesRepetitions) {
    auto device = deviceWith({format(1280, 720, {FrameRateRange::make(1, 30)}),
                              format(256, 144, {FrameRateRange::make(1, 30)}),
                              format(1280, 720, {FrameRateRange::make(1, 60)})});
    struct Row {
        KNVideoFrameSize size;
        bool supported;
    };
    const Row rows[] = {{{1280, 720}, true}, {{720, 1280}, true}, {{1280, 721}, false}, {{0, 0}, false}};
    for (const Row& row : rows) {
        EXPECT_EQ(isVideoFrameSizeSupported(*device, row.size), row.supported) << row.size.width;
    }
    const std::vector<KNVideoFrameSize> sizes{{1280, 720}, {256, 144}, {1280, 720}};
    EXPECT_EQ(supportedVideoFrameSizes(*device), sizes);
    EXPECT_EQ(supportedResolutions(*device), (std::vector<int64_t>{27648, 27648, 921600}));
    EXPECT_FALSE(isResolutionSupported(*device, 12345));
}

TEST(KNCaptureDeviceCapabilities, TheBestPresetIsTheFirstSupportedInPreferenceOrder) {
    struct Row {
        std::set<std::string> supported;
        const char* expected;
    };
    const Row rows[] = {
        {{kSessionPreset640x480, kSessionPresetLow}, kSessionPreset640x480},
        {{kSessionPresetMedium, kSessionPreset352x288}, kSessionPresetMedium},
        {{kSessionPreset640x480, kSessionPreset1280x720}, kSessionPreset1280x720},
        {{kSessionPresetLow, kSessionPresetHigh}, kSessionPresetHigh},
        {{}, kSessionPresetLow},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(bestSupportedSessionPreset(PresetDevice(row.supported)), row.expected);
    }
    // A real format list: High goes with any format.
    EXPECT_EQ(bestSupportedSessionPreset(*deviceWith({format(640, 480, {FrameRateRange::make(1, 30)})})),
              kSessionPresetHigh);
}
