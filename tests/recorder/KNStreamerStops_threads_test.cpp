// A host stops the push streamer from inside its callbacks, on the threads they come on.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

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
