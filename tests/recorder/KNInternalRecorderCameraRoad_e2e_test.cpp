// The camera road against the nginx-rtmp fixture: synthetic camera and microphone through the hub
// to real destinations and an MP4 file, read back with ffprobe and ffmpeg's decoders.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <optional>

#include "CameraRoadSupport.h"

using namespace kntest;

TEST_F(CameraRoad, TwoDestinationsAndAFileAgreeWithWhatTheCameraDelivered) {
    const std::vector<std::string> streams = {uniqueName("road-a"), uniqueName("road-b")};
    for (const auto& stream : streams) hub->setupWithStreamInfo(destination(server->url(stream)));
    const int64_t before = events->frames;
    ASSERT_NO_FATAL_FAILURE(start());
    HubLog recording;
    hub->startRecordingWithCompletion([&](bool ok, auto) { recording.add(ok ? "YES" : "NO"); });
    ASSERT_TRUE(runMainUntil([&] { return !recording.entries().empty(); }));
    const int64_t recordingFrom = events->frames;
    ASSERT_TRUE(streamFor(600));

    HubLog stopped;
    std::string file;
    hub->stopRecordingWithCompletion([&](bool ok, auto error, auto url) {
        if (ok && url) file = url->string();
        stopped.add(ok ? "YES" : "NO " + error->description());
    });
    const int64_t recorded = events->frames - recordingFrom;
    hub->stopStreaming();
    const int64_t delivered = events->frames - before;
    ASSERT_TRUE(runMainUntil([&] { return !stopped.entries().empty(); }));
    ASSERT_EQ(stopped.entries(), std::vector<std::string>{"YES"});

    for (const auto& stream : streams) {
        const std::string flv = server->waitForRecording(stream);
        ASSERT_FALSE(flv.empty()) << stream;
        expectDecodesCleanly(flv);
        // Lost on the way: the reported drops, and what preceded the connection and its first key frame.
        EXPECT_LE(videoFrames(flv), delivered) << stream;
        EXPECT_GE(videoFrames(flv), delivered - events->drops - 120) << stream;
    }
    // The file's video opens on the first key frame after the start (up to 45 frames on, at the
    // rate the camera kept in this build) while its audio starts at once.
    const double framesPerSecond = double(videoFrames(file)) / lastPacketTime(file, "v:0");
    expectDecodesCleanly(file, 0.5 + 45.0 / framesPerSecond);
    EXPECT_LE(videoFrames(file), recorded + 5);
    EXPECT_GE(videoFrames(file), recorded - 60);
    std::filesystem::remove(file);
}

TEST_F(CameraRoad, ADeadServerLeavesTheOtherStreamingAndLostNetworkStopsInOrder) {
    auto doomed = TestServer::startPrivate(std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("server"));
    ASSERT_TRUE(doomed);
    const std::string kept = uniqueName("kept");
    hub->setupWithStreamInfo(destination(server->url(kept)));
    hub->setupWithStreamInfo(destination(doomed->url(uniqueName("doomed"))));
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(streamFor(90));
    for (pid_t pid : doomed->workerPids()) kill(pid, SIGKILL);
    const int64_t sendingBefore = events->sendingSeconds;
    ASSERT_TRUE(streamFor(150));
    EXPECT_EQ(hub->recordingState(), KNRecorderStateStreaming);
    EXPECT_GE(events->sendingSeconds - sendingBefore, 3);

    events->log->clear();
    components->reachability->report(KNNetworkStatusNotReachable);
    ASSERT_TRUE(runMainUntil([&] { return hub->recordingState() == KNRecorderStateIdle; }));
    EXPECT_EQ(events->log->entries(), (std::vector<std::string>{"network 0", "state 3", "state 0"}));
    // The last close reported 0 to a host that read the destinations from that very report.
    EXPECT_GE(events->zeroReports, 1);
    const std::string flv = server->waitForRecording(kept);
    ASSERT_FALSE(flv.empty());
    expectDecodesCleanly(flv);
}

TEST_F(CameraRoad, StoppingTheRecordingThenTheStreamLeavesNoEncoderWorking) {
    hub->setupWithStreamInfo(destination(server->url(uniqueName("idle"))));
    ASSERT_NO_FATAL_FAILURE(start());
    HubLog recording;
    hub->startRecordingWithCompletion([&](bool ok, auto) { recording.add(ok ? "YES" : "NO"); });
    ASSERT_TRUE(streamFor(60));
    const std::string file = stopRecordingThenStreaming();
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(recording.entries(), std::vector<std::string>{"YES"});
    // What was queued before the stops has come out once the camera has moved on a few frames.
    ASSERT_TRUE(streamFor(15));
    const auto& video = components->videoEncoder->outputs;
    const auto& audio = components->audioEncoder->outputs;
    const int64_t framesAtIdle = video->frames;
    const int64_t packetsAtIdle = audio->packets;
    EXPECT_GT(framesAtIdle, 30);
    EXPECT_GT(packetsAtIdle, 30);
    ASSERT_TRUE(streamFor(45));
    EXPECT_EQ(video->frames, framesAtIdle);
    EXPECT_EQ(audio->packets, packetsAtIdle);
    std::filesystem::remove(file);
}

namespace {

double firstFrameTime(const std::string& file, const std::string& stream) {
    const auto times = column({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries", "frame=pts_time",
                               "-read_intervals", "%+#4", "-of", "csv=p=0", file});
    return times.empty() ? -1 : times.front();
}

std::vector<uint8_t> firstAudioPacket(const std::string& file) {
    const std::string out = file + ".first-audio";
    runCommand({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", file, "-map", "0:a:0", "-c", "copy", "-frames:a", "1",
                "-f", "data", out});
    std::ifstream in(out, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove(out);
    return bytes;
}

}  // namespace

// Recording starts between key frames, so its video opens on the next one, over a second after
// its audio: the two still play what camera and microphone took in at the same instant together.
TEST_F(CameraRoad, AFileWhoseVideoOpensLateKeepsItsSoundInStepWithThePicture) {
    hub->setupWithStreamInfo(destination(server->url(uniqueName("lipsync"))));
    ASSERT_NO_FATAL_FAILURE(start());
    const auto& video = components->videoEncoder->outputs;
    const auto& audio = components->audioEncoder->outputs;
    ASSERT_TRUE(platform::RunLoop::main().runUntil([&] { return video->frames >= 5; }, 20s));
    HubLog recording;
    hub->startRecordingWithCompletion([&](bool ok, auto) { recording.add(ok ? "YES" : "NO"); });
    ASSERT_TRUE(runMainUntil([&] { return !recording.entries().empty(); }));
    ASSERT_EQ(recording.entries(), std::vector<std::string>{"YES"});
    const size_t framesBeforeRecording = video->keyFrameFlags().size();
    const size_t packetsBeforeRecording = audio->filePackets().size();
    ASSERT_TRUE(streamFor(150));

    const std::string file = stopRecordingThenStreaming();
    ASSERT_FALSE(file.empty());
    // Every frame handed over has come out, in order: output n is the camera's frame n.
    const auto captured = components->videoEncoder->captured();
    ASSERT_TRUE(waitFor([&] { return video->keyFrameFlags().size() == captured.size(); }, 20s));

    // The video the file opens with: the first key frame made once recording was on.
    const auto keyFrames = video->keyFrameFlags();
    size_t firstVideo = framesBeforeRecording;
    while (firstVideo < keyFrames.size() && !keyFrames[firstVideo]) ++firstVideo;
    ASSERT_LT(firstVideo, keyFrames.size());
    const double videoCaptured = captured[firstVideo];

    // The audio it opens with: found among the packets made, near the recording's start.
    const auto packets = audio->filePackets();
    const auto opening = firstAudioPacket(file);
    ASSERT_FALSE(opening.empty());
    std::optional<size_t> firstAudio;
    for (size_t i = 0; i < packets.size(); ++i) {
        const auto distance = [&](size_t k) { return k > packetsBeforeRecording ? k - packetsBeforeRecording : packetsBeforeRecording - k; };
        if (packets[i] == opening && (!firstAudio || distance(i) < distance(*firstAudio))) firstAudio = i;
    }
    ASSERT_TRUE(firstAudio.has_value());
    // Its first sample, as the microphone delivered it: each period ends when it is handed over.
    const uint64_t rate = components->audioEncoder->sampleRate;
    const uint64_t frameBytes = 2 * std::max<uint64_t>(components->audioEncoder->channelCount, 1);
    ASSERT_GT(rate, 0u);
    const uint64_t sample = *firstAudio * 1024;
    uint64_t periodStart = 0;
    double audioCaptured = -1;
    for (const auto& arrival : components->audioEncoder->arrivals()) {
        const uint64_t frames = arrival.bytes / frameBytes;
        if (sample < periodStart + frames) {
            audioCaptured = arrival.at - static_cast<double>(periodStart + frames - sample) / static_cast<double>(rate);
            break;
        }
        periodStart += frames;
    }
    ASSERT_GE(audioCaptured, 0);

    const double videoInFile = firstFrameTime(file, "v:0");
    const double audioInFile = firstFrameTime(file, "a:0");
    const double onePacket = 1024.0 / static_cast<double>(rate);
    EXPECT_GT(videoCaptured - audioCaptured, 0.5);
    EXPECT_NEAR(videoInFile - audioInFile, videoCaptured - audioCaptured, onePacket)
        << "file: video " << videoInFile << " s, audio " << audioInFile << " s";
    std::filesystem::remove(file);
}
