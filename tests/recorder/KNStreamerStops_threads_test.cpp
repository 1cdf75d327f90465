// A host stops the push streamer from inside its callbacks, on the threads they come on.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "encoding/KNH264Encoder.h"
#include "encoding/KNH264EncoderDelegate.h"
#include "encoding/LocalSaverTestSupport.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNStreamSource.h"
#include "recorder/StreamerTestSupport.h"

namespace {

using namespace kntest;

// Stops the streamer from the first error, or from the first report of `stopAtState`.
class StoppingReports : public StreamerReports {
public:
    void streamerDidChangeState(KNStreamer* streamer, KNStreamerState state) override {
        StreamerReports::streamerDidChangeState(streamer, state);
        if (stopAtState == state && armed.exchange(false)) streamer->stopStreaming();
    }
    void streamerDidReceiveError(KNStreamer* streamer, const std::shared_ptr<KNError>& error) override {
        StreamerReports::streamerDidReceiveError(streamer, error);
        if (stopAtState < 0 && armed.exchange(false)) streamer->stopStreaming();
    }
    std::atomic<bool> armed{false};
    int64_t stopAtState = -1;
};

// No picture: the H.264 encoder reports it on its own queue.
std::shared_ptr<platform::SampleBuffer> pictureless() {
    auto block = platform::BlockBuffer::createWithBytes(std::vector<uint8_t>(64, 0));
    return platform::SampleBuffer::createWithData(block, nullptr, 1, {platform::MediaTime::make(1, 30), platform::MediaTime::make(999, 30), platform::MediaTime::invalid()});
}

TEST(KNStreamerStopsThreads, AStopFromAnyCallbackNeitherAbortsNorHangsAndTheFileDecodes) {
    struct Row {
        std::string name;
        int64_t stopAtState;
        std::function<void(StreamerRecordingRig&)> trigger;
    };
    const Row rows[] = {
        // Without a configured converter, audio of no known format fails on the AAC encoder's queue.
        {"error on the AAC encoder's queue", -1, [](StreamerRecordingRig& rig) { rig.streamer->sendAudioBuffer(pictureless()); }},
        {"error on the H.264 encoder's queue", -1, [](StreamerRecordingRig& rig) { rig.streamer->sendVideoBuffer(pictureless()); }},
        // Port 1 on loopback refuses: the failure comes on the destinations' delegate queue.
        {"a destination's failure", -1,
         [](StreamerRecordingRig& rig) {
             auto info = KNStreamInfo::create();
             info->setCustomStreamURLString("rtmp://127.0.0.1:1/live/refused");
             rig.streamer->addStreamSourceWithInfo(info)->setOn(true);
         }},
        {"state report of a second start", KNStreamerStateStreaming,
         [](StreamerRecordingRig& rig) { rig.streamer->startStreamingWithCompletion(); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        StreamerRecordingRig rig;
        auto stopping = std::make_shared<StoppingReports>();
        stopping->stopAtState = row.stopAtState;
        rig.streamer->setDelegate(stopping);
        rig.streamer->audioSettings()->setSendingAudioWithError(false);
        rig.streamer->startStreamingWithCompletion();
        rig.feed(30, false);
        stopping->armed = true;
        row.trigger(rig);
        ASSERT_TRUE(waitFor([&] { return !stopping->armed && rig.streamer->currentState() == KNStreamerStateIdle; }, 20s));
        const auto file = rig.waitForFile();
        ASSERT_FALSE(file.empty()) << ::testing::PrintToString(stopping->errors());
        EXPECT_EQ(savertest::number(savertest::probe(file)["streams"][0]["nb_read_packets"]), 30);
        EXPECT_EQ(savertest::decodeErrors(file), "");
    }
}

// Sits in front of the streamer as its H.264 encoder's delegate, as the streamer's public delegate
// operations allow, and stops it from the first encoded frame: on the compression session's own
// thread. No host callback of the public delegate runs there for healthy frames.
class StoppingOnEncodedFrame : public KNH264EncoderDelegate {
public:
    explicit StoppingOnEncodedFrame(std::weak_ptr<KNStreamer> streamer) : streamer_(std::move(streamer)) {}
    void H264EncoderDidExtractSpsPps(KNH264Encoder* encoder, const Bytes& sps, const Bytes& pps) override {
        if (auto streamer = streamer_.lock()) streamer->H264EncoderDidExtractSpsPps(encoder, sps, pps);
    }
    void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder* encoder, const Bytes& data, bool isKeyFrame,
                                                     uint64_t timestampMs) override {
        if (auto streamer = streamer_.lock()) streamer->H264EncoderDidEncodeDataIsKeyFrameTimestamp(encoder, data, isKeyFrame, timestampMs);
    }
    void H264EncoderDidEncodeSampleBuffer(KNH264Encoder* encoder,
                                          const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) override {
        auto streamer = streamer_.lock();
        if (!streamer) return;
        streamer->H264EncoderDidEncodeSampleBuffer(encoder, sampleBuffer);
        ++encoded;
        if (!armed.exchange(false)) return;
        stoppedOn = std::this_thread::get_id();
        streamer->stopStreaming();
        stopped = true;
    }
    void H264EncoderDidFailEncodingWithError(KNH264Encoder* encoder, const std::shared_ptr<KNError>& error) override {
        if (auto streamer = streamer_.lock()) streamer->H264EncoderDidFailEncodingWithError(encoder, error);
    }
    std::atomic<int> encoded{0};
    std::atomic<bool> armed{false};
    std::atomic<bool> stopped{false};
    std::thread::id stoppedOn;

private:
    std::weak_ptr<KNStreamer> streamer_;
};

TEST(KNStreamerStopsThreads, AStopFromTheCompressionThreadNeitherAbortsNorHangsAndKeepsEveryFrame) {
    StreamerRecordingRig rig;
    auto stopping = std::make_shared<StoppingOnEncodedFrame>(rig.streamer);
    videoEncoderOf(*rig.streamer)->setDelegate(stopping);
    rig.streamer->audioSettings()->setSendingAudioWithError(false);
    rig.streamer->startStreamingWithCompletion();
    rig.feed(30, false);
    ASSERT_TRUE(waitFor([&] { return stopping->encoded == 30; }, 20s));
    stopping->armed = true;
    rig.feed(1, false);
    ASSERT_TRUE(waitFor([&] { return stopping->stopped && rig.streamer->currentState() == KNStreamerStateIdle; }, 20s));
    EXPECT_NE(stopping->stoppedOn, std::this_thread::get_id());
    const auto file = rig.waitForFile();
    ASSERT_FALSE(file.empty()) << ::testing::PrintToString(rig.reports->errors());
    // The frame whose output stops the streamer, and every one before it, is in the file.
    EXPECT_EQ(savertest::number(savertest::probe(file)["streams"][0]["nb_read_packets"]), 31);
    EXPECT_EQ(savertest::decodeErrors(file), "");
}

// Let go of while streaming: the file it was writing is still finished and moved.
TEST(KNStreamerStopsThreads, AStreamerLetGoOfWhileRecordingFinishesItsFile) {
    StreamerRecordingRig rig;
    rig.streamer->audioSettings()->setSendingAudioWithError(false);
    rig.streamer->startStreamingWithCompletion();
    rig.feed(20, false);
    std::weak_ptr<KNStreamer> watch = rig.streamer;
    rig.streamer.reset();
    EXPECT_TRUE(watch.expired());
    const auto file = rig.waitForFile();
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(savertest::decodeErrors(file), "");
}

}  // namespace
