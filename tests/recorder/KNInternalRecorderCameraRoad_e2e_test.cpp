// The camera road against the nginx-rtmp fixture: synthetic camera and microphone through the hub
// to real destinations and an MP4 file, read back with ffprobe and ffmpeg's decoders.
#include <gtest/gtest.h>

#include <csignal>

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
    HubLog stopped;
    std::string file;
    hub->stopRecordingWithCompletion([&](bool ok, auto, auto url) {
        if (ok && url) file = url->string();
        stopped.add(ok ? "YES" : "NO");
    });
    hub->stopStreaming();
    ASSERT_TRUE(runMainUntil([&] { return !stopped.entries().empty(); }));
    EXPECT_EQ(stopped.entries(), std::vector<std::string>{"YES"});
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
