#include "capture/KNVideoEncoderSettingsValidator.h"

#include <gtest/gtest.h>

#include <climits>

#include "platform/MachineModel.h"

namespace {

constexpr const char* kOldPhone = "iPhone6,2";
const char* const kDevices[] = {kOldPhone, "iPhone9,1", "x86_64"};

struct RecordingDelegate : KNVideoEncoderSettingsValidatorDelegate {
    void videoEncoderSettingsValidatorDidAdjustBitrate(KNVideoEncoderSettingsValidator*, int64_t bitrate) override {
        adjusted.push_back(bitrate);
    }
    std::vector<int64_t> adjusted;
};

class KNVideoEncoderSettingsValidatorTest : public ::testing::Test {
protected:
    void TearDown() override { platform::MachineModel::clearOverride(); }
    std::shared_ptr<KNVideoEncoderSettingsValidator> validator = KNVideoEncoderSettingsValidator::create();
    std::shared_ptr<KNError> sentinel = KNError::errorWithCodesMessage({1}, "untouched");
};

TEST_F(KNVideoEncoderSettingsValidatorTest, MaximumScalesTheNearestThresholdByPixelsWithoutDividingByZero) {
    struct Case {
        KNVideoFrameSize frame;
        int64_t closest;
        int32_t maximum;
    };
    const Case cases[] = {
        {{1280, 720}, 921600, 614400}, {{1280, 700}, 921600, 597333},   {{854, 480}, 409920, 256000},
        {{256, 108}, 27648, 25600},    {{1920, 1080}, 2073600, 0},      {{3840, 2160}, 3686400, 0},
        {{0, 0}, 0, INT32_MAX},        {{96, 144}, 0, INT32_MAX},       {{-1280, 720}, 0, INT32_MAX},
        {{INT64_MAX, INT64_MAX}, 921600, INT32_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.frame.width << "x" << c.frame.height);
        validator->setResolution(c.frame);
        EXPECT_EQ(validator->closestThresholdForCurrentResolution(), c.closest);
        EXPECT_EQ(validator->maxBitrateForCurrentResolution(), c.maximum);
    }
}

TEST_F(KNVideoEncoderSettingsValidatorTest, OnlyAnOldPhoneLowersLargeFramesAndBitratesWithItsError) {
    struct Case {
        int64_t resolution;
        int64_t onOldPhone;
        const char* message;  // null: the error stays untouched
    };
    const Case cases[] = {
        {2073600, 921600, "Resolution 1920x1080 not supported on current device, using 1280x720 instead."},
        {30965760, 921600, "Resolution 7680x4320 not supported on current device, using 1280x720 instead."},
        {921600, 921600, nullptr},
        {0, 0, nullptr},
        {12345, 12345, nullptr},
    };
    for (const char* device : kDevices) {
        platform::MachineModel::setOverride(device);
        const bool old = device == kOldPhone;
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << device << " " << c.resolution);
            std::shared_ptr<KNError> error = sentinel;
            const int64_t used = validator->validateFrameResolutionWithError(c.resolution, &error);
            EXPECT_EQ(used, old ? c.onOldPhone : c.resolution);
            EXPECT_EQ(error->message(), old && c.message ? c.message : "untouched");
        }
        std::shared_ptr<KNError> error = sentinel;
        const KNVideoFrameSize frame = validator->validateFrameSizeWithError({1280, 721}, &error);
        EXPECT_EQ(frame.height, old ? 720 : 721);
        EXPECT_EQ(error->message(), old ? "Resolution 1280x721 not supported on current device, using 1280x720 instead."
                                        : "untouched");
        error = sentinel;
        EXPECT_EQ(validator->validateBitrateWithError(1000000, &error), old ? 614400 : 1000000);
        EXPECT_EQ(error->message(), old ? "Bitrate 1000000 not supported on current device/resolution, using 614400 instead."
                                        : "untouched");
        EXPECT_EQ(error->errorCodes(), std::vector<int64_t>{old ? 6002 : 1});
    }
}

TEST_F(KNVideoEncoderSettingsValidatorTest, KeptBitrateIsLoweredOnEveryDeviceButNeverDividedByZero) {
    struct Step {
        int64_t resolution;  // validated once 1 Mbit/s is kept
        int64_t kept;
        int64_t keptOnOldPhone;  // whose 1080p becomes 720p
    };
    const Step steps[] = {{921600, 614400, 614400}, {2073600, 0, 614400}, {12345, 1000000, 1000000}, {0, 614400, 614400}};
    for (const char* device : kDevices) {
        platform::MachineModel::setOverride(device);
        for (const Step& step : steps) {
            SCOPED_TRACE(testing::Message() << device << " " << step.resolution);
            validator = KNVideoEncoderSettingsValidator::create();
            auto delegate = std::make_shared<RecordingDelegate>();
            validator->setDelegate(delegate);
            validator->setBitrate(1000000);
            validator->validateFrameResolutionWithError(step.resolution, nullptr);
            const int64_t kept = device == kOldPhone ? step.keptOnOldPhone : step.kept;
            EXPECT_EQ(validator->bitrate(), kept);
            EXPECT_EQ(delegate->adjusted, kept == 1000000 ? std::vector<int64_t>{} : std::vector<int64_t>{kept});
        }
        validator->validateFrameSizeWithError({100, 100}, nullptr);
        EXPECT_EQ(validator->validateBitrateWithError(5000000, nullptr), 5000000);
    }
    // A fresh validator keeps 0, which no frame lowers.
    validator = KNVideoEncoderSettingsValidator::create();
    auto delegate = std::make_shared<RecordingDelegate>();
    validator->setDelegate(delegate);
    validator->validateFrameSizeWithError({640, 480}, nullptr);
    EXPECT_TRUE(delegate->adjusted.empty());
}

}  // namespace
