#include "kestrune/KNStreamer.h"

#include <gtest/gtest.h>

#include <thread>

#include "kestrune/KNError.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNStreamSource.h"
#include "kestrune/KNStreamerAudioSettings.h"
#include "kestrune/KNStreamerSettings.h"
#include "kestrune/KNStreamerVideoSettings.h"
#include "recorder/StreamerTestSupport.h"
#include "support/VideoTestMedia.h"

namespace {

TEST(KNStreamerThreads, HostFedSamplesFromTwoThreadsWhileBitratesAndDestinationsChange) {
    auto streamer = KNStreamer::create();
    auto reports = std::make_shared<kntest::StreamerReports>();
    streamer->setDelegate(reports);
    ASSERT_TRUE(streamer->videoSettings()->setResolutionWithError(KNVideoFrameResolutionCustom));
    ASSERT_TRUE(streamer->videoSettings()->setVideoFrameSizeWithError({320, 240}));
    ASSERT_TRUE(streamer->audioSettings()->setSampleRateWithError(44100));
    streamer->startStreamingWithCompletion();
    constexpr int kRounds = 90;
    std::thread video([&] {
        for (int i = 0; i < kRounds; ++i) {
            streamer->sendVideoBuffer(kntest::videoSample(kntest::makePatternFrame(320, 240, i), platform::MediaTime::make(i, 30)));
        }
    });
    std::thread audio([&] {
        for (int i = 0; i < kRounds; ++i) {
            auto pcm = std::make_shared<const std::vector<uint8_t>>(1470 * 2, static_cast<uint8_t>(i));
            streamer->sendAudioDataTimestamp(pcm, static_cast<uint64_t>(i) * 33);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        streamer->videoSettings()->setOutputBitrate(1000000 + i * 1000);
        streamer->audioSettings()->setOutputBitrate(64000 + static_cast<uint64_t>(i));
        auto destination = streamer->addStreamSourceWithInfo(KNStreamInfo::create());
        EXPECT_FALSE(streamer->settings()->setAdaptiveBitrateWithError(i % 2 == 0));
        streamer->removeStreamSource(destination);
    }
    video.join();
    audio.join();
    streamer->stopStreaming();
    EXPECT_EQ(reports->states(), (std::vector<int64_t>{1, 2, 3, 0}));
    EXPECT_EQ(reports->errors(), std::vector<std::string>{});
}

}  // namespace
