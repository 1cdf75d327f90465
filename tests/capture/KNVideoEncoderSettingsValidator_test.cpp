#include "capture/KNVideoEncoderSettingsValidator.h"

#include <gtest/gtest.h>

#include <climits>

#include "platform/MachineModel.h"

namespace {

constexpr const char* kOldPhone = "iPhone6,2";
constexpr const char* kNewPhone = "iPhone9,1";
constexpr const char* kHost = "x86_64";

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
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<KNError> sentinel = KNError::errorWithCodesMessage({1}, "untouched");
};

TEST_F(KNVideoEncoderSettingsValidatorTest, MaximumScalesTheNearestThresholdByPixels) {
    struct Case {
        KNVideoFrameSize frame;
        int64_t closest;
        int32_t maximum;
    };
    const Case cases[] = {
        {{1280, 720}, 921600, 614400},
        {{1280, 700}, 921600, 597333},
        {{854, 480}, 409920, 256000},
        {{256, 108}, 27648, 25600},
        // No threshold row: the maximum stays 0.
        {{1920, 1080}, 2073600, 0},
        {{3840, 2160}, 3686400, 0},
        // Nearest to no standard frame: no limit, and nothing divides by zero.
        {{0, 0}, 0, INT32_MAX},
        {{100, 100}, 0, INT32_MAX},
        {{96, 144}, 0, INT32_MAX},
        {{-1280, 720}, 0, INT32_MAX},
        {{INT64_MAX, INT64_MAX}, 921600, INT32_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.frame.width << "x" << c.frame.height);
        validator->setResolution(c.frame);
        EXPECT_EQ(validator->closestThresholdForCurrentResolution(), c.closest);
        EXPECT_EQ(validator->maxBitrateForCurrentResolution(), c.maximum);
    }
}

TEST_F(KNVideoEncoderSettingsValidatorTest, OldPhoneLowersLargeFramesWithItsError) {
    platform::MachineModel::setOverride(kOldPhone);
    struct Case {
        int64_t resolution;
        int64_t result;
        const char* message;  // null: unchanged and the error untouched
    };
    const Case cases[] = {
        {2073600, 921600, "Resolution 1920x1080 not supported on current device, using 1280x720 instead."},
        {30965760, 921600, "Resolution 7680x4320 not supported on current device, using 1280x720 instead."},
        {921600, 921600, nullptr},
        {0, 0, nullptr},
        {12345, 12345, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.resolution);
        std::shared_ptr<KNError> error = sentinel;
        EXPECT_EQ(validator->validateFrameResolutionWithError(c.resolution, &error), c.result);
        if (c.message) {
            EXPECT_EQ(error->errorCodes(), std::vector<int64_t>{6002});
            EXPECT_EQ(error->message(), c.message);
        } else {
            EXPECT_EQ(error, sentinel);
        }
    }
    std::shared_ptr<KNError> error = sentinel;
    EXPECT_EQ(validator->validateFrameSizeWithError({1280, 721}, &error), KNVideoFrameSizeMake(1280, 720));
    EXPECT_EQ(error->message(), "Resolution 1280x721 not supported on current device, using 1280x720 instead.");
    error = sentinel;
    EXPECT_EQ(validator->validateFrameSizeWithError({1280, 720}, &error), KNVideoFrameSizeMake(1280, 720));
    EXPECT_EQ(error, sentinel);
    EXPECT_EQ(validator->validateBitrateWithError(1000000, &error), 614400);
    EXPECT_EQ(error->message(), "Bitrate 1000000 not supported on current device/resolution, using 614400 instead.");
    EXPECT_EQ(validator->bitrate(), 614400);
    EXPECT_EQ(validator->validateBitrateWithError(2000000, nullptr), 614400);
}

TEST_F(KNVideoEncoderSettingsValidatorTest, OtherDevicesKeepWhatTheyAskFor) {
    for (const char* device : {kNewPhone, kHost}) {
        SCOPED_TRACE(device);
        platform::MachineModel::setOverride(device);
        std::shared_ptr<KNError> error = sentinel;
        EXPECT_EQ(validator->validateFrameResolutionWithError(2073600, &error), 2073600);
        EXPECT_EQ(validator->validateFrameSizeWithError({1920, 1080}, &error), KNVideoFrameSizeMake(1920, 1080));
        EXPECT_EQ(validator->validateBitrateWithError(1000000, &error), 1000000);
        EXPECT_EQ(error, sentinel);
    }
}

TEST_F(KNVideoEncoderSettingsValidatorTest, KeptBitrateIsLoweredOnEveryDeviceButNeverDividedByZero) {
    struct Step {
        const char* name;
        int64_t resolution;  // validated once a bitrate of 1000000 is kept
        int64_t kept;
        int64_t keptOnOldPhone;  // whose 1080p becomes 720p
    };
    const Step steps[] = {
        {"720p caps", 921600, 614400, 614400},
        {"no threshold row", 2073600, 0, 614400},
        {"unknown resolution", 12345, 1000000, 1000000},
        {"custom (a 1280 x 720 frame)", 0, 614400, 614400},
    };
    for (const char* device : {kOldPhone, kNewPhone, kHost}) {
        platform::MachineModel::setOverride(device);
        for (const Step& step : steps) {
            SCOPED_TRACE(testing::Message() << device << " " << step.name);
            validator = KNVideoEncoderSettingsValidator::create();
            delegate = std::make_shared<RecordingDelegate>();
            validator->setDelegate(delegate);
            validator->setBitrate(1000000);
            validator->validateFrameResolutionWithError(step.resolution, nullptr);
            const int64_t kept = device == kOldPhone ? step.keptOnOldPhone : step.kept;
            EXPECT_EQ(validator->bitrate(), kept);
            const std::vector<int64_t> told = kept == 1000000 ? std::vector<int64_t>{} : std::vector<int64_t>{kept};
            EXPECT_EQ(delegate->adjusted, told);
        }
        validator->validateFrameSizeWithError({100, 100}, nullptr);
        EXPECT_EQ(validator->validateBitrateWithError(5000000, nullptr), 5000000);
    }
}

TEST_F(KNVideoEncoderSettingsValidatorTest, FreshValidatorAdjustsNothing) {
    EXPECT_EQ(validator->resolution(), KNVideoFrameSizeMake(1280, 720));
    EXPECT_EQ(validator->bitrate(), 0);
    validator->setDelegate(delegate);
    validator->validateFrameSizeWithError({640, 480}, nullptr);
    EXPECT_TRUE(delegate->adjusted.empty());
}

}  // namespace
