#include "kestrune/KNStreamer.h"

#include <gtest/gtest.h>

#include "core/KNMetadata.h"
#include "encoding/KNAACEncoder.h"
#include "encoding/KNH264Encoder.h"
#include "encoding/KNLocalSaver.h"
#include "kestrune/KNError.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNStreamSource.h"
#include "kestrune/KNStreamerAudioSettings.h"
#include "kestrune/KNStreamerSettings.h"
#include "kestrune/KNStreamerVideoSettings.h"
#include "recorder/KNStreamerBitrate.h"
#include "recorder/StreamerTestSupport.h"
#include "transport/KNStreamSourcesManager.h"

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

TEST(KNStreamer, StatesOfStopsAndStartsAsTheHostSeesThem) {
    auto streamer = KNStreamer::create();
    auto reports = std::make_shared<kntest::StreamerReports>();
    streamer->setDelegate(reports);
    streamer->stopStreaming();
    EXPECT_EQ(reports->states(), (std::vector<int64_t>{3, 0}));
    int completions = 0;
    const auto completion = [&](bool success, std::shared_ptr<KNError> error) {
        completions += success && !error ? 1 : 0;
    };
    streamer->startStreamingWithCompletion(completion);
    streamer->startStreamingWithCompletion(completion);
    EXPECT_EQ(reports->states(), (std::vector<int64_t>{3, 0, 1, 2, 1, 2}));
    EXPECT_EQ(completions, 2);
    streamer->stopStreaming();
    EXPECT_EQ(streamer->currentState(), KNStreamerStateIdle);
}

// What the settings change reaches at once, and what only reaches destinations added later.
TEST(KNStreamer, SettingsReachThePipelineWhenThePartsSay) {
    auto streamer = KNStreamer::create();
    streamer->settings()->setAdaptiveBitrateWithError(true);
    EXPECT_TRUE(streamer->streamSources()->adaptiveBitRateOn());
    streamer->startStreamingWithCompletion();
    streamer->videoSettings()->setOutputBitrate(2000000);
    EXPECT_EQ(streamer->videoEncoder()->bitrate(), 2000000);
    streamer->stopStreaming();

    streamer->audioSettings()->setSendingAudioWithError(false);
    streamer->videoSettings()->setSendingVideoWithError(false);
    auto info = [](const std::string& name) {
        auto made = KNStreamInfo::create();
        made->setStreamName(name);
        return made;
    };
    auto early = streamer->addStreamSourceWithInfo(info("early"));
    streamer->audioSettings()->setSendingAudioWithError(true);
    streamer->videoSettings()->setSendingVideoWithError(true);
    auto late = streamer->addStreamSourceWithInfo(info("late"));
    EXPECT_FALSE(early->sendingAudio());
    EXPECT_FALSE(early->sendingVideo());
    EXPECT_TRUE(late->sendingAudio());
    EXPECT_TRUE(late->sendingVideo());
    streamer->removeStreamSource(nullptr);
    kntest::streamSourcesOf(*streamer)->closeConnectionToSource(nullptr);
    kntest::streamSourcesOf(*streamer)->removeSource(nullptr);
    streamer->removeStreamSource(early);
    EXPECT_EQ(streamer->streamSources()->streamSources().size(), 1u);
}

// Components handed in serve everything the streamer does from then on, and are stored only:
// the replacement keeps the delegate it had, and the replaced encoder still reports here.
TEST(KNStreamer, ReplacedComponentsCarryThePipelineWithoutRewiring) {
    auto streamer = KNStreamer::create();
    auto donor = KNStreamer::create();
    const auto ownEncoder = kntest::videoEncoderOf(*streamer);
    const auto ownEncoderDelegate = ownEncoder->delegate();
    const auto encoder = kntest::videoEncoderOf(*donor);
    const auto encoderDelegate = encoder->delegate();
    const auto audio = kntest::audioEncoderOf(*donor);
    const auto sources = kntest::streamSourcesOf(*donor);
    const auto saver = kntest::localSaverOf(*donor);
    streamer->setVideoEncoder(encoder);
    streamer->setAudioEncoder(audio);
    streamer->setStreamSources(sources);
    streamer->setLocalSaver(saver);
    EXPECT_EQ(streamer->videoEncoder(), encoder);
    EXPECT_EQ(streamer->audioEncoder(), audio);
    EXPECT_EQ(streamer->streamSources(), sources);
    EXPECT_EQ(streamer->localSaver(), saver);

    streamer->videoSettings()->setResolutionWithError(KNVideoFrameResolution640x360);
    streamer->addStreamSourceWithInfo(KNStreamInfo::create());
    streamer->startStreamingWithCompletion();
    encoder->encodingQueue()->sync([] {});
    audio->encoderQueue()->sync([] {});
    EXPECT_EQ(encoder->resolution(), (KNVideoFrameSize{640, 360}));
    EXPECT_FALSE(ownEncoder->started());
    EXPECT_TRUE(audio->started());
    EXPECT_EQ(sources->streamSources().size(), 1u);
    EXPECT_EQ(sources->metadata()->videoWidth(), 640);
    EXPECT_EQ(saver->width(), 640u);
    EXPECT_EQ(encoder->delegate(), encoderDelegate);
    EXPECT_EQ(ownEncoder->delegate(), ownEncoderDelegate);
    streamer->stopStreaming();
}

// Null, and the camera recorder's AAC encoder (same controls, other timestamps), leave the
// streamer's own components in place.
TEST(KNStreamer, ReplacementsThatCantServeAreRefused) {
    auto streamer = KNStreamer::create();
    const auto video = streamer->videoEncoder();
    const auto audio = streamer->audioEncoder();
    const auto sources = streamer->streamSources();
    const auto saver = streamer->localSaver();
    streamer->setVideoEncoder(nullptr);
    streamer->setAudioEncoder(nullptr);
    streamer->setAudioEncoder(KNAACEncoder::create());
    streamer->setStreamSources(nullptr);
    streamer->setLocalSaver(nullptr);
    EXPECT_EQ(streamer->videoEncoder(), video);
    EXPECT_EQ(streamer->audioEncoder(), audio);
    EXPECT_EQ(streamer->streamSources(), sources);
    EXPECT_EQ(streamer->localSaver(), saver);
    streamer->startStreamingWithCompletion();
    streamer->stopStreaming();
    EXPECT_EQ(streamer->currentState(), KNStreamerStateIdle);
}

// The frame size the encoder, the saver and the announced metadata get; the stereo flag follows
// the channel count, so that the sequence header says what the packets hold.
TEST(KNStreamer, FrameSizesAndChannelsReachEncoderSaverAndMetadata) {
    struct Row {
        std::string name;
        int64_t resolution;
        KNVideoFrameSize custom;
        bool inverted;
        uint64_t channels;
        int32_t width, height;
    };
    const Row rows[] = {
        {"defaults", KNVideoFrameResolution1280x720, {0, 0}, false, 1, 1280, 720},
        {"custom size", 0, {1000, 500}, false, 2, 1000, 500},
        {"portrait", KNVideoFrameResolution1280x720, {0, 0}, true, 1, 720, 1280},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto streamer = KNStreamer::create();
        streamer->videoSettings()->setResolutionWithError(row.resolution);
        streamer->videoSettings()->setVideoFrameSizeWithError(row.custom);
        streamer->videoSettings()->setResolutionInvertedWithError(row.inverted);
        streamer->audioSettings()->setChannelsNumberWithError(row.channels);
        streamer->startStreamingWithCompletion();
        const auto metadata = kntest::streamSourcesOf(*streamer)->metadata();
        ASSERT_TRUE(metadata);
        EXPECT_EQ(metadata->videoWidth(), row.width);
        EXPECT_EQ(metadata->videoHeight(), row.height);
        EXPECT_EQ(metadata->audioStereo(), row.channels >= 2);
        EXPECT_EQ(streamer->localSaver()->width(), static_cast<uint64_t>(row.width));
        EXPECT_EQ(streamer->localSaver()->height(), static_cast<uint64_t>(row.height));
        kntest::videoEncoderOf(*streamer)->encodingQueue()->sync([] {});
        EXPECT_EQ(streamer->videoEncoder()->resolution().width, row.width);
        EXPECT_EQ(streamer->videoEncoder()->resolution().height, row.height);
        streamer->stopStreaming();
    }
}

}  // namespace
