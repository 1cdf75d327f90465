#include "kestrune/KNRecorderSettings.h"

#include <gtest/gtest.h>

#include <functional>
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

TEST(KNRecorderSettings, TheResolutionDrivesTheSizeButNeverTheBitrate) {
    const auto settings = KNRecorderSettings::recorderSettings();
    settings->useCustomVideoFrameSize(KNVideoFrameSizeMake(1000, 500));
    EXPECT_EQ(settings->videoFrameResolution(), 0);
    EXPECT_EQ(settings->videoFrameSize(), KNVideoFrameSizeMake(1000, 500));
    settings->setVideoFrameResolution(2073600);
    EXPECT_EQ(settings->videoFrameSize(), KNVideoFrameSizeMake(1920, 1080));
    settings->setVideoFrameResolution(0);
    EXPECT_EQ(settings->videoFrameSize(), KNVideoFrameSizeMake(1920, 1080));
    settings->setVideoFrameResolution(12345);
    EXPECT_EQ(settings->videoFrameSize(), KNVideoFrameSizeMake(0, 0));
    EXPECT_EQ(settings->videoBitrate(), 1700000);

    const auto custom = KNRecorderSettings::recorderSettingsWithVideoFrameSize(0);
    EXPECT_EQ(custom->videoFrameSize(), KNVideoFrameSizeMake(1280, 720));
    EXPECT_EQ(custom->videoBitrate(), 3000000);
}

// Each key by its name in the archive, then back through the settings' own decoding.
TEST(KNRecorderSettings, EveryArchiveKeySurvivesARoundTripByName) {
    struct Key {
        std::string name;
        int64_t value;
        std::function<void(KNRecorderSettings&, int64_t)> set;
        std::function<int64_t(const KNRecorderSettings&)> get;
    };
    const std::vector<Key> keys = {
        {"recordingMode", 2, &KNRecorderSettings::setRecordingMode, &KNRecorderSettings::recordingMode},
        {"torchMode", 2, &KNRecorderSettings::setTorchMode, &KNRecorderSettings::torchMode},
        {"videoOrientation", 3, &KNRecorderSettings::setVideoOrientation, &KNRecorderSettings::videoOrientation},
        {"currentCamera", 1, &KNRecorderSettings::setCurrentCamera, &KNRecorderSettings::currentCamera},
        {"frameRate", 24, &KNRecorderSettings::setFrameRate, &KNRecorderSettings::frameRate},
        {"keyFrameInterval", 61, &KNRecorderSettings::setKeyFrameInterval, &KNRecorderSettings::keyFrameInterval},
        {"audioSampleRate", 32000, &KNRecorderSettings::setAudioSampleRate, &KNRecorderSettings::audioSampleRate},
        {"videoBitrate", 777000, &KNRecorderSettings::setVideoBitrate, &KNRecorderSettings::videoBitrate},
        {"videoFrameResolution", 307200, &KNRecorderSettings::setVideoFrameResolution,
         &KNRecorderSettings::videoFrameResolution},
    };
    const auto settings = KNRecorderSettings::recorderSettings();
    for (const auto& key : keys) key.set(*settings, key.value);
    settings->setVideoFrameResolutionInverted(false);
    const auto archive = settings->archivedSettings();
    const auto coder = platform::KeyedUnarchiver::fromData(archive);
    ASSERT_TRUE(coder);
    const auto back = KNRecorderSettings::recorderSettingsWithArchivedData(archive);
    ASSERT_NE(back, nullptr);
    for (const auto& key : keys) {
        EXPECT_TRUE(coder->containsValueForKey(key.name)) << key.name;
        EXPECT_EQ(coder->decodeInt64(key.name), key.value) << key.name;
        EXPECT_EQ(key.get(*back), key.value) << key.name;
    }
    EXPECT_TRUE(coder->containsValueForKey("videoFrameResolutionInverted"));
    EXPECT_FALSE(back->videoFrameResolutionInverted());
    const auto size = coder->decodeSize("videoFrameSize");
    ASSERT_TRUE(size);
    EXPECT_EQ(size->width, 640);
    EXPECT_EQ(size->height, 480);
    EXPECT_EQ(back->videoFrameSize(), KNVideoFrameSizeMake(640, 480));
}
