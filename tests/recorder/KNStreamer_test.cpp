#include "kestrune/KNStreamer.h"

#include <gtest/gtest.h>

#include "kestrune/KNError.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNStreamSource.h"
#include "kestrune/KNStreamerAudioSettings.h"
#include "kestrune/KNStreamerSettings.h"
#include "kestrune/KNStreamerVideoSettings.h"
#include "recorder/KNStreamerBitrate.h"
#include "recorder/StreamerTestSupport.h"

namespace {

TEST(KNStreamer, StartAndStopRunTheirStatesOnTheCallersThreadWhateverTheState) {
    auto streamer = KNStreamer::create();
    auto log = std::make_shared<kntest::StreamerReports>();
    streamer->setDelegate(log);
    streamer->stopStreaming();
    int completions = 0;
    streamer->startStreamingWithCompletion([&](bool success, std::shared_ptr<KNError> error) {
        EXPECT_TRUE(success);
        EXPECT_EQ(error, nullptr);
        ++completions;
    });
    EXPECT_EQ(completions, 1);
    streamer->startStreamingWithCompletion();
    EXPECT_EQ(streamer->currentState(), KNStreamerStateStreaming);
    streamer->stopStreaming();
    EXPECT_EQ(log->states(), (std::vector<int64_t>{3, 0, 1, 2, 1, 2, 3, 0}));
}

TEST(KNStreamer, GuardedSettersRefuseWithAReasonWhileStreaming) {
    auto streamer = KNStreamer::create();
    streamer->startStreamingWithCompletion();
    std::shared_ptr<KNError> reason;
    EXPECT_FALSE(streamer->videoSettings()->setResolutionWithError(KNVideoFrameResolution640x360, &reason));
    ASSERT_TRUE(reason);
    EXPECT_EQ(reason->errorCodes(), std::vector<int64_t>{0});
    EXPECT_EQ(reason->message(), "Operation not allowed while streaming.");
    reason.reset();
    EXPECT_FALSE(streamer->audioSettings()->setSampleRateWithError(44100, &reason));
    EXPECT_TRUE(reason);
    EXPECT_FALSE(streamer->settings()->setLocalSaveWithError(true));
    EXPECT_EQ(streamer->videoSettings()->resolution(), KNVideoFrameResolution1280x720);
    EXPECT_EQ(streamer->audioSettings()->sampleRate(), 48000u);
    streamer->stopStreaming();
    EXPECT_TRUE(streamer->videoSettings()->setResolutionWithError(KNVideoFrameResolution640x360, &reason));
}

TEST(KNStreamer, BitRatesNarrowTo32BitsWithSaturation) {
    const std::pair<int64_t, int32_t> rows[] = {
        {2500000, 2500000}, {INT32_MAX, INT32_MAX}, {int64_t{INT32_MAX} + 1, INT32_MAX},
        {int64_t{1} << 32, INT32_MAX}, {INT64_MAX, INT32_MAX}, {0, 1}, {-5, 1},
    };
    for (const auto& [wide, narrow] : rows) {
        EXPECT_EQ(KNNarrowBitrate(wide), narrow) << wide;
    }
    EXPECT_EQ(KNNarrowBitrate(UINT64_MAX), INT32_MAX);
}

TEST(KNStreamer, DestinationsTakeTheSwitchesAsTheyStandWhenAdded) {
    auto streamer = KNStreamer::create();
    streamer->videoSettings()->setSendingVideo(false);
    auto info = KNStreamInfo::create();
    info->setCustomStreamURLString("rtmp://127.0.0.1:1/live/a");
    auto early = streamer->addStreamSourceWithInfo(info);
    EXPECT_TRUE(streamer->videoSettings()->setSendingVideoWithError(true));
    auto later = streamer->addStreamSourceWithInfo(KNStreamInfo::create());
    EXPECT_FALSE(early->sendingVideo());
    EXPECT_TRUE(later->sendingVideo());
    EXPECT_TRUE(later->sendingAudio());
    EXPECT_FALSE(early->on());
    streamer->removeStreamSource(early);
}

TEST(KNStreamer, ADroppedStreamerGoesAwayThoughItsSettingsLiveOn) {
    auto streamer = KNStreamer::create();
    std::weak_ptr<KNStreamer> watch = streamer;
    auto video = streamer->videoSettings();
    auto general = streamer->settings();
    // Dropped while streaming: a streamer its settings kept alive would still lock them.
    streamer->startStreamingWithCompletion();
    EXPECT_FALSE(video->setResolutionWithError(KNVideoFrameResolution640x360));
    streamer.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(video->setResolutionWithError(KNVideoFrameResolution640x360));
    EXPECT_TRUE(general->setAdaptiveBitrateWithError(true));
}

}  // namespace
