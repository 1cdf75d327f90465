// Files pushed through the file input source and the streamer to the nginx RTMP fixture.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "kestrune/KNError.h"
#include "kestrune/KNFileInputSource.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNStreamSource.h"
#include "kestrune/KNStreamer.h"
#include "kestrune/KNStreamerAudioSettings.h"
#include "kestrune/KNStreamerVideoSettings.h"
#include "platform/DispatchQueue.h"
#include "recorder/FileSourceTestSupport.h"
#include "recorder/StreamerTestSupport.h"
#include "support/MediaFiles.h"

namespace {

using namespace kntest;

// Passes every sample on to the streamer, noting when it came.
class Forwarder : public DeliveryLog {
public:
    explicit Forwarder(std::shared_ptr<KNStreamer> streamer) : streamer_(std::move(streamer)) {}
    void fileInputSourceDidReadVideoSample(KNFileInputSource* f, const std::shared_ptr<platform::SampleBuffer>& s) override {
        DeliveryLog::fileInputSourceDidReadVideoSample(f, s);
        streamer_->sendVideoBuffer(s);
    }
    void fileInputSourceDidReadAudioSample(KNFileInputSource* f, const std::shared_ptr<platform::SampleBuffer>& s) override {
        DeliveryLog::fileInputSourceDidReadAudioSample(f, s);
        streamer_->sendAudioBuffer(s);
    }

private:
    std::shared_ptr<KNStreamer> streamer_;
};

class Connections : public KNStreamSourceDelegate {
public:
    void streamSourceDidConnect(const std::shared_ptr<KNStreamSource>&) override { ++connected; }
    void streamSourceDidCloseConnection(const std::shared_ptr<KNStreamSource>&) override { ++closed; }
    std::atomic<int> connected{0};
    std::atomic<int> closed{0};
};

// Seconds from the first packet's time to the end of the last one.
double trackSeconds(const std::string& file, const char* stream, double lastPacketSeconds) {
    std::istringstream lines(runCommand({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
                                         "packet=pts_time", "-of", "csv=p=0", file}).output);
    std::vector<double> times;
    for (std::string line; std::getline(lines, line);) times.push_back(std::atof(line.c_str()));
    return times.empty() ? 0 : times.back() - times.front() + lastPacketSeconds;
}

size_t videoPackets(const std::string& file) {
    const auto out = runCommand({"ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                                 "stream=nb_read_packets", "-of", "csv=p=0", file});
    return static_cast<size_t>(std::atoll(out.output.c_str()));
}

TEST(KNStreamerPushE2E, FilesReachTwoDestinationsWholeAndInRealTime) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    struct Row {
        std::string name;
        MediaFileOptions file;
        size_t frames;
    };
    const std::string dir = std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("push");
    const Row rows[] = {
        {"30 fps, 48 kHz stereo", {.seconds = 20, .width = 1280, .height = 720, .fps = 30, .sampleRate = 48000, .channels = 2}, 600},
        {"25 fps, 44.1 kHz mono", {.seconds = 20, .width = 1280, .height = 720, .fps = 25, .sampleRate = 44100, .channels = 1}, 500},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto path = makeMediaFile(dir, std::to_string(row.file.fps), row.file);
        ASSERT_FALSE(path.empty());
        auto streamer = KNStreamer::create();
        // Encoded at a quarter of the file's size: a real-time encoder on a loaded machine under
        // a sanitizer would otherwise drop frames, which this test counts.
        ASSERT_TRUE(streamer->videoSettings()->setResolutionWithError(KNVideoFrameResolution640x360));
        streamer->videoSettings()->setOutputBitrate(1000000);
        ASSERT_TRUE(streamer->audioSettings()->setSampleRateWithError(static_cast<uint64_t>(row.file.sampleRate)));
        ASSERT_TRUE(streamer->audioSettings()->setChannelsNumberWithError(static_cast<uint64_t>(row.file.channels)));
        // Switched on before the start: they must announce the stream's real rate and channels.
        auto connections = std::make_shared<Connections>();
        std::vector<std::string> streams;
        std::vector<std::shared_ptr<KNStreamSource>> sources;
        for (int i = 0; i < 2; ++i) {
            streams.push_back(uniqueName("push"));
            auto info = KNStreamInfo::create();
            info->setCustomStreamURLString(server->url(streams.back()));
            sources.push_back(streamer->addStreamSourceWithInfo(info));
            sources.back()->setDelegate(connections);
            sources.back()->setOn(true);
        }
        ASSERT_TRUE(waitFor([&] { return connections->connected == 2; }, 20s));

        auto forwarder = std::make_shared<Forwarder>(streamer);
        auto source = sourceFor(path, forwarder);
        streamer->startStreamingWithCompletion();
        source->startReadingWithError();
        ASSERT_TRUE(waitFor([&] { return readToEnd(*source); }, 40s));
        // The audio pieces scheduled last are at most a buffer ahead of the reading.
        std::atomic<bool> drained{false};
        source->readerQueue()->afterSeconds(0.2, [&] { drained = true; });
        ASSERT_TRUE(waitFor([&] { return drained.load(); }, 5s));
        streamer->stopStreaming();
        for (const auto& destination : sources) streamer->removeStreamSource(destination);

        const auto deliveries = forwarder->all();
        ASSERT_FALSE(deliveries.empty());
        const double wall = deliveries.back().hostSeconds - deliveries.front().hostSeconds;
        EXPECT_NEAR(wall, row.file.seconds, 0.05 * row.file.seconds) << "real-time pacing";
        EXPECT_EQ(forwarder->count(true), row.frames);
        for (const auto& stream : streams) {
            SCOPED_TRACE(stream);
            const auto recording = server->waitForRecording(stream);
            ASSERT_FALSE(recording.empty());
            // Frames are stamped with the host clock, so keep the recording's millisecond times rather
            // than rounding them to frame slots, where a late frame and the next could meet.
            const auto decode = runCommand(
                {"ffmpeg", "-nostdin", "-v", "error", "-i", recording, "-enc_time_base", "-1", "-f", "null", "-"});
            EXPECT_EQ(decode.exitCode, 0);
            EXPECT_EQ(decode.output, "");
            EXPECT_EQ(videoPackets(recording), row.frames);
            const auto streamsSeen = runCommand({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                                 "stream=sample_rate,channels", "-of", "csv=p=0", recording});
            EXPECT_EQ(streamsSeen.output, std::to_string(row.file.sampleRate) + "," + std::to_string(row.file.channels) + "\n");
            const double video = trackSeconds(recording, "v:0", 1.0 / row.file.fps);
            const double audio = trackSeconds(recording, "a:0", 1024.0 / row.file.sampleRate);
            EXPECT_NEAR(audio, video, 0.2);
            EXPECT_NEAR(video, row.file.seconds, 0.2);
        }
    }
}

// A destination switched on before the start announces the stream the settings describe: what a
// player of the live stream reads in its onMetaData.
TEST(KNStreamerPushE2E, ADestinationOnBeforeTheStartAnnouncesTheRealStream) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    StreamerRecordingRig rig;
    auto& streamer = rig.streamer;
    ASSERT_TRUE(streamer->settings()->setLocalSaveWithError(false));
    ASSERT_TRUE(streamer->audioSettings()->setSampleRateWithError(44100));
    ASSERT_TRUE(streamer->audioSettings()->setChannelsNumberWithError(2));
    auto connections = std::make_shared<Connections>();
    const std::string stream = uniqueName("meta");
    auto info = KNStreamInfo::create();
    info->setCustomStreamURLString(server->url(stream));
    auto destination = streamer->addStreamSourceWithInfo(info);
    destination->setDelegate(connections);
    destination->setOn(true);
    ASSERT_TRUE(waitFor([&] { return connections->connected == 1; }, 20s));
    streamer->startStreamingWithCompletion();
    rig.feed(StreamerRecordingRig::kFps);

    // The player takes the stream while it runs; the flv reader keeps every field it announces.
    std::atomic<bool> played{false};
    CommandResult tags;
    std::thread player([&] {
        tags = runCommand({"ffprobe", "-v", "error", "-rw_timeout", "15000000", "-flv_full_metadata", "1",
                           "-show_entries", "format_tags", "-of", "json", server->url(stream)});
        played = true;
    });
    for (int second = 0; second < 20 && !played; ++second) rig.feed(StreamerRecordingRig::kFps);
    player.join();
    streamer->stopStreaming();
    streamer->removeStreamSource(destination);

    const auto json = nlohmann::json::parse(tags.output, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << tags.output;
    const auto meta = json["format"].value("tags", nlohmann::json::object());
    SCOPED_TRACE(meta.dump());
    const auto number = [&](const char* key) { return std::atof(meta.value(key, "-1").c_str()); };
    EXPECT_EQ(number("width"), StreamerRecordingRig::kWidth);
    EXPECT_EQ(number("height"), StreamerRecordingRig::kHeight);
    EXPECT_EQ(number("framerate"), 30);
    EXPECT_EQ(number("audiosamplerate"), 44100);
    // It follows the channel count: players build their decoder from it before the first packet.
    EXPECT_EQ(meta.value("stereo", ""), "true");
}

}  // namespace
