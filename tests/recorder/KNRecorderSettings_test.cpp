#include "kestrune/KNRecorderSettings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kestrune/KNStreamInfo.h"
#include "platform/KeyedArchive.h"

namespace {

class KNRecorderSettingsTest : public ::testing::Test {
protected:
    void TearDown() override { KNRecorderSettings::setAudioSessionSampleRateSourceForTesting(nullptr); }
};

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> archiveWithSize(double width, double height, int64_t resolution) {
    platform::KeyedArchiver coder("KNRecorderSettings");
    coder.encodeSize("videoFrameSize", {width, height});
    coder.encodeInt64("videoFrameResolution", resolution);
    return coder.archivedData();
}

}  // namespace

TEST_F(KNRecorderSettingsTest, DefaultsTakeTheAudioSessionRateTruncated) {
    const std::vector<std::pair<double, int64_t>> rates = {{44100.9, 44100}, {0, 0}, {48000, 48000}};
    for (const auto& [sessionRate, expected] : rates) {
        KNRecorderSettings::setAudioSessionSampleRateSourceForTesting([rate = sessionRate] { return rate; });
        const auto settings = KNRecorderSettings::recorderSettings();
        EXPECT_EQ(settings->audioSampleRate(), expected) << sessionRate;
    }
}

TEST_F(KNRecorderSettingsTest, ResolutionDrivesTheSizeButNeverTheBitrate) {
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

TEST_F(KNRecorderSettingsTest, RecordingModeTable) {
    const std::vector<std::tuple<int64_t, bool, bool>> rows = {
        {-1, false, false}, {0, true, true}, {1, true, false}, {2, false, true}, {3, false, false}};
    const auto settings = KNRecorderSettings::recorderSettings();
    for (const auto& [mode, audio, video] : rows) {
        settings->setRecordingMode(mode);
        EXPECT_EQ(settings->isRecordingAudio(), audio) << mode;
        EXPECT_EQ(settings->isRecordingVideo(), video) << mode;
    }
}

TEST_F(KNRecorderSettingsTest, ArchiveRoundTripKeepsWhatTheKeysCarry) {
    const auto custom = KNRecorderSettings::recorderSettings();
    custom->useCustomVideoFrameSize(KNVideoFrameSizeMake(1000, 500));
    custom->setRecordingMode(2);
    custom->setVideoBitrate(777000);
    custom->setConfigureAudioSessionManually(true);
    custom->setExportLocalVideoToAssetLibrary(true);
    const auto back = KNRecorderSettings::recorderSettingsWithArchivedData(custom->archivedSettings());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->videoFrameSize(), KNVideoFrameSizeMake(1000, 500));
    EXPECT_EQ(back->recordingMode(), 2);
    EXPECT_EQ(back->videoBitrate(), 777000);
    EXPECT_TRUE(back->videoFrameResolutionInverted());
    EXPECT_FALSE(back->configureAudioSessionManually());
    EXPECT_FALSE(back->exportLocalVideoToAssetLibrary());

    const auto table = KNRecorderSettings::recorderSettings();
    table->setVideoFrameSize(KNVideoFrameSizeMake(1000, 500));
    const auto tableBack = KNRecorderSettings::recorderSettingsWithArchivedData(table->archivedSettings());
    ASSERT_NE(tableBack, nullptr);
    EXPECT_EQ(tableBack->videoFrameSize(), KNVideoFrameSizeMake(1280, 720));
}

TEST_F(KNRecorderSettingsTest, HostileArchivesDecodeToNothingOrZero) {
    platform::KeyedArchiver otherClass("KNStreamInfo");
    KNStreamInfo::create()->encodeWithCoder(otherClass);
    const auto valid = KNRecorderSettings::recorderSettings()->archivedSettings();
    const std::vector<uint8_t> truncated(valid.begin(), valid.begin() + static_cast<long>(valid.size() / 2));
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> refused = {
        {"other class", otherClass.archivedData()},
        {"truncated", truncated},
        {"not an archive", bytesOf("\x01\x02garbage")},
        {"empty", {}},
    };
    for (const auto& [name, bytes] : refused) {
        EXPECT_EQ(KNRecorderSettings::recorderSettingsWithArchivedData(bytes), nullptr) << name;
    }

    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::tuple<double, double, KNVideoFrameSize>> sizes = {
        {nan, 500, {0, 500}},
        {inf, -inf, {0, 0}},
        {1e300, 720, {0, 720}},
        {-640, 480.7, {0, 480}},
        {9.3e18, 2.5e9, {0, 0}},
        {1920.9, 1080, {1920, 1080}},
    };
    for (const auto& [width, height, expected] : sizes) {
        const auto decoded = KNRecorderSettings::recorderSettingsWithArchivedData(archiveWithSize(width, height, 0));
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(decoded->videoFrameSize(), expected) << width << " x " << height;
        EXPECT_EQ(decoded->videoBitrate(), 0);
        EXPECT_FALSE(decoded->videoFrameResolutionInverted());
    }
}
