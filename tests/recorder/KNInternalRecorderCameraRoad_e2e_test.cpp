// The camera road against the nginx-rtmp fixture: synthetic camera and microphone through the hub
// to real destinations and an MP4 file, read back with ffprobe and ffmpeg's decoders.
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>

#include "HubFakes.h"
#include "kestrune/KNRecorderSettings.h"
#include "platform/NotificationCenter.h"
#include "platform/audio/AudioSession.h"

using namespace kntest;

namespace {

// The real collaborators, but a network monitor the test drives.
struct RoadComponents : KNInternalRecorderComponents {
    std::shared_ptr<KNInternalRecorderComponents> real = KNInternalRecorderComponents::current();
    std::shared_ptr<FakeReachability> reachability = std::make_shared<FakeReachability>();
    std::shared_ptr<KNHubStreamSources> makeStreamSources() override { return real->makeStreamSources(); }
    std::shared_ptr<KNHubVideoEncoder> makeVideoEncoder() override { return real->makeVideoEncoder(); }
    std::shared_ptr<KNHubAudioEncoder> makeAudioEncoder() override { return real->makeAudioEncoder(); }
    std::shared_ptr<KNHubValidator> makeValidator() override { return real->makeValidator(); }
    std::shared_ptr<KNHubLocalSaver> makeLocalSaver() override { return real->makeLocalSaver(); }
    std::shared_ptr<KNHubCaptureSession> makeCaptureSession() override { return real->makeCaptureSession(); }
    std::shared_ptr<KNHubAudioCapture> makeAudioCapture() override { return real->makeAudioCapture(); }
    std::shared_ptr<KNHubReachability> makeReachability() override { return reachability; }
    bool cameraAuthorized() override { return true; }
    bool microphoneAuthorized() override { return true; }
    void setIdleTimerDisabled(bool disabled) override { real->setIdleTimerDisabled(disabled); }
    std::string nameForLocalFile() override { return uniqueName("road"); }
    void addVideoToLibrary(const std::filesystem::path& file, std::function<void(bool, std::shared_ptr<KNError>)> done) override {
        real->addVideoToLibrary(file, std::move(done));
    }
};

struct RoadEvents : HubEvents {
    using HubEvents::HubEvents;
    void recorderDidOutputSampleBufferFromCaptureOutput(KNInternalRecorder*, const std::shared_ptr<platform::SampleBuffer>&,
                                                        const void*) override {
        ++frames;
    }
    void recorderDidUpdateBitrate(KNInternalRecorder*, uint64_t kilobytes) override {
        if (kilobytes > 0) ++sendingSeconds;
    }
    void recorderDidDropPacket(KNInternalRecorder*) override { ++drops; }
    std::atomic<int64_t> frames{0};
    std::atomic<int64_t> sendingSeconds{0};
    std::atomic<int64_t> drops{0};
};

std::vector<double> column(const std::vector<std::string>& argv) {
    std::istringstream lines(runCommand(argv).output);
    std::vector<double> values;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line != "N/A") values.push_back(std::atof(line.c_str()));
    }
    return values;
}

int64_t videoFrames(const std::string& file) {
    const auto counts = column({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                                "stream=nb_read_frames", "-of", "csv=p=0", file});
    return counts.empty() ? -1 : static_cast<int64_t>(counts.front());
}

double lastPacketTime(const std::string& file, const std::string& stream) {
    const auto times = column({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries", "packet=pts_time",
                               "-of", "csv=p=0", file});
    return times.empty() ? -1 : *std::max_element(times.begin(), times.end());
}

// Decoder errors fail; the null muxer's notes on audio times that repeat a millisecond (the
// microphone's buffers are stamped with the host clock as they arrive) are counted apart.
void expectDecodesCleanly(const std::string& file) {
    const auto decode = runCommand({"ffmpeg", "-v", "error", "-i", file, "-f", "null", "-"});
    EXPECT_EQ(decode.exitCode, 0) << file;
    std::istringstream lines(decode.output);
    int repeatedTimes = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("non monotonically increasing dts") != std::string::npos) {
            ++repeatedTimes;
        } else {
            ADD_FAILURE() << file << ": " << line;
        }
    }
    EXPECT_LT(repeatedTimes, 50) << file;
    EXPECT_NEAR(lastPacketTime(file, "a:0"), lastPacketTime(file, "v:0"), 0.5) << file;
}

class CameraRoad : public ::testing::Test {
protected:
    void SetUp() override {
        server = TestServer::shared();
        ASSERT_TRUE(server);
        hub = KNInternalRecorder::internalRecorderWithComponents(components);
        hub->setInternalRecorderDelegate(events);
        auto settings = KNRecorderSettings::recorderSettings();
        settings->setVideoFrameResolutionInverted(false);
        settings->setVideoOrientation(KNVideoOrientationLandscapeRight);
        // Setting the session up for recording changes its category, which stops a stream when
        // it is heard: a host starts once that news is out, as this test does.
        auto& center = platform::NotificationCenter::defaultCenter();
        auto changes = std::make_shared<std::atomic<int>>(0);
        const auto token = center.addObserver(platform::kAudioSessionRouteChangeNotification, nullptr,
                                              [changes](const platform::Notification&) { ++*changes; });
        const bool categoryChanges = platform::AudioSession::shared()->category() != platform::kAudioSessionCategoryPlayAndRecord;
        ASSERT_TRUE(hub->setupWithSettings(settings));
        hub->startCamera();
        EXPECT_TRUE(!categoryChanges || waitFor([&] { return changes->load() > 0; }, 10s));
        center.removeObserver(token);
    }
    void TearDown() override {
        hub->stopStreaming();
        hub->endSession();
        drainMainQueue();
    }
    std::shared_ptr<KNStreamInfo> destination(const std::string& url) {
        auto info = KNStreamInfo::create();
        info->setCustomStreamURLString(url);
        return info;
    }
    void start() {
        Answers answers;
        hub->startStreamingWithCompletion(answers.completion());
        ASSERT_TRUE(runMainUntil([&] { return !answers.log.entries().empty(); }));
        ASSERT_EQ(answers.log.entries(), std::vector<std::string>{"YES"});
    }
    bool streamFor(int64_t frames) {
        const int64_t until = events->frames + frames;
        return platform::RunLoop::main().runUntil([&] { return events->frames >= until; }, std::chrono::seconds(frames / 10 + 20));
    }

    std::shared_ptr<TestServer> server;
    std::shared_ptr<RoadComponents> components = std::make_shared<RoadComponents>();
    std::shared_ptr<RoadEvents> events = std::make_shared<RoadEvents>(std::make_shared<HubLog>());
    std::shared_ptr<KNInternalRecorder> hub;
};

}  // namespace

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
    expectDecodesCleanly(file);
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
    const std::string flv = server->waitForRecording(kept);
    ASSERT_FALSE(flv.empty());
    expectDecodesCleanly(flv);
}
