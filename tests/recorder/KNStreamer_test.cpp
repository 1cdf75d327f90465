#include "kestrune/KNStreamer.h"

#include <gtest/gtest.h>

#include "kestrune/KNError.h"
#include "kestrune/KNStreamerAudioSettings.h"
#include "kestrune/KNStreamerSettings.h"
#include "kestrune/KNStreamerVideoSettings.h"
#include "recorder/KNStreamerBitrate.h"

namespace {

TEST(KNStreamer, GuardedSettersRefuseWithAReasonWhileStreaming) {
    auto streamer = KNStreamer::create();
    streamer->startStreamingWithCompletion();
    std::shared_ptr<KNError> reason;
    EXPECT_FALSE(streamer->videoSettings()->setResolutionWithError(KNVideoFrameResolution640x360, &reason));
    ASSERT_TRUE(reason);
    EXPECT_EQ(reason->errorCodes(), std::vector<int64_t>{0});
    EXPECT_EQ(reason->message(), "Operation not allowed while streaming.");
    EXPECT_EQ(streamer->videoSettings()->resolution(), KNVideoFrameResolution1280x720);
    streamer->stopStreaming();
}

// A count the encoder can't hold never reaches it: the setter refuses it, and a count stored plainly
// fails the start, with nothing started that audio sent afterwards could reach.
TEST(KNStreamer, ChannelCountsTheStreamCantCarryAreRefused) {
    auto streamer = KNStreamer::create();
    auto audio = streamer->audioSettings();
    for (const uint64_t channels : {uint64_t{0}, uint64_t{9}, uint64_t{1} << 40, UINT64_MAX}) {
        SCOPED_TRACE(channels);
        std::shared_ptr<KNError> error;
        EXPECT_FALSE(audio->setChannelsNumberWithError(channels, &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->errorCodes(), std::vector<int64_t>{50002});
        EXPECT_EQ(audio->channelsNumber(), 1u);

        audio->setChannelsNumber(channels);
        bool started = true;
        std::shared_ptr<KNError> failure;
        streamer->startStreamingWithCompletion([&](bool success, std::shared_ptr<KNError> e) {
            started = success;
            failure = std::move(e);
        });
        EXPECT_FALSE(started);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->errorCodes(), std::vector<int64_t>{50002});
        EXPECT_EQ(streamer->currentState(), KNStreamerStateIdle);
        streamer->sendAudioDataTimestamp(std::make_shared<const std::vector<uint8_t>>(8192, 1), 1000);
        streamer->stopStreaming();
        audio->setChannelsNumber(1);
    }
    for (const uint64_t channels : {1, 2, 8}) {
        EXPECT_TRUE(audio->setChannelsNumberWithError(channels));
        EXPECT_EQ(audio->channelsNumber(), channels);
    }
    bool started = false;
    streamer->startStreamingWithCompletion([&](bool success, std::shared_ptr<KNError>) { started = success; });
    EXPECT_TRUE(started);
    streamer->stopStreaming();
}

TEST(KNStreamer, BitRatesNarrowTo32BitsWithSaturation) {
    const std::pair<int64_t, int32_t> rows[] = {
        {2500000, 2500000}, {int64_t{INT32_MAX} + 1, INT32_MAX}, {int64_t{1} << 32, INT32_MAX}, {-5, 1},
    };
    for (const auto& [wide, narrow] : rows) {
        EXPECT_EQ(KNNarrowBitrate(wide), narrow) << wide;
    }
    EXPECT_EQ(KNNarrowBitrate(UINT64_MAX), INT32_MAX);
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
