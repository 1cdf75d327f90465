#include <gtest/gtest.h>

#include <limits>

#include "HubFakes.h"
#include "kestrune/KNRecorder.h"
#include "kestrune/KNRecorderSettings.h"
#include "encoding/KNH264Encoder.h"
#include "platform/ui/Application.h"
#include "recorder/KNRecorderTimer.h"

using namespace kntest;
using Entries = std::vector<std::string>;

namespace {

std::string codes(const std::shared_ptr<KNError>& error) { return error ? str(error->errorCodes().front()) : "none"; }

KNRecorder::Completion into(Entries& answers) {
    return [&answers](bool ok, std::shared_ptr<KNError> e) { answers.push_back(ok ? "YES" : "NO " + codes(e)); };
}

struct HostLog : KNRecorderDelegate {
    explicit HostLog(LogPtr log) : log(std::move(log)) {}
    void recorderDidChangeState(KNRecorder&, KNRecorderState s) override { log->add("host.state " + str(s)); }
    void recorderDidDropRtmpPacket(KNRecorder&) override { log->add("host.drop"); }
    void recorderDidUpdateStreamTime(KNRecorder&, double s) override { log->add("host.streamTime " + std::to_string(s)); }
    void recorderDidUpdateRecordTime(KNRecorder&, double s) override { log->add("host.recordTime " + std::to_string(s)); }
    LogPtr log;
};

// A recorder on the hub's fakes whose host writes every report into the shared log.
class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        KNInternalRecorderComponents::setCurrentForTesting(fakes);
        KNRecorderTimer::setClockForTesting([this] { return clock.load(); });
        recorder = KNRecorder::recorderWithStreamInfo(KNStreamInfo::create(), settings);
        recorder->setRecorderDelegate(host);
        recorder->prepareToRecord();
        hub = KNInternalRecorder::currentRecorderForTesting();
        log->clear();
    }
    void TearDown() override {
        if (recorder) recorder->endSession();
        recorder.reset();
        hub.reset();
        drainMainQueue();
        fakes->saver->queue->sync([] {});
        KNRecorderTimer::setClockForTesting(nullptr);
        KNInternalRecorderComponents::setCurrentForTesting(nullptr);
    }
    // Starts and lets the first destination connect; answers once the start is answered.
    bool startStreaming() {
        fakes->sources->onConnectAll = [weak = std::weak_ptr(hub)] {
            if (auto h = weak.lock()) h->streamSourcesManagerFirstStreamDidConnect(nullptr);
        };
        recorder->startStreaming(answers.completion());
        return runMainUntil([this] { return !answers.log.entries().empty(); });
    }

    std::shared_ptr<FakeComponents> fakes = std::make_shared<FakeComponents>();
    LogPtr log = fakes->log;
    std::shared_ptr<FakeCapture> camera = fakes->capture;
    std::shared_ptr<HostLog> host = std::make_shared<HostLog>(log);
    std::shared_ptr<KNRecorderSettings> settings = KNRecorderSettings::recorderSettings();
    std::atomic<double> clock{1000.0};
    std::shared_ptr<KNRecorder> recorder;
    std::shared_ptr<KNInternalRecorder> hub;
    Answers answers;
};

}  // namespace

// Streaming and recording both mean "not idle".
TEST_F(RecorderTest, ReportsReachTheHostWithTheStateMirroredAndTheDropRenamed) {
    ASSERT_TRUE(startStreaming());
    EXPECT_TRUE(recorder->isStreaming());
    EXPECT_TRUE(recorder->isRecording());
    hub->streamSourcesManagerDidDropPacket(nullptr);
    recorder->stopStreaming();

    EXPECT_EQ(log->entries("host."), (Entries{"host.state 2", "host.state 1", "host.drop", "host.state 3", "host.state 0"}));
    EXPECT_FALSE(recorder->isStreaming());
}

TEST_F(RecorderTest, TickersCountFromTheirStartsAndNoneOutlivesTheRecorder) {
    ASSERT_TRUE(startStreaming());
    clock = 1002.5;
    EXPECT_TRUE(runMainUntil([this] { return log->count("host.streamTime 2.500000") > 0; }));
    // As a host does: from a task of the main loop, whose run loop then ticks.
    platform::DispatchQueue::main()->async([this] { recorder->startRecording(); });
    drainMainQueue();
    ASSERT_EQ(KNRecorderTimer::liveTimersForTesting(), 2u);
    clock = 1003.5;
    EXPECT_TRUE(runMainUntil([this] { return log->count("host.recordTime 1.000000") > 0; }));

    recorder->endSession();
    recorder.reset();
    EXPECT_EQ(KNRecorderTimer::liveTimersForTesting(), 0u);
}

// The host keeps no handle to end the session with: letting go must end it.
TEST_F(RecorderTest, LettingGoOfTheRecorderStopsTheStreamFinishesTheRecordingAndEndsTheSession) {
    ASSERT_TRUE(startStreaming());
    fakes->aac->configured = true;
    recorder->startRecording();
    ASSERT_TRUE(waitFor([this] { return fakes->saver->isStarted.load(); }, 5s));
    recorder.reset();

    EXPECT_EQ(hub->recordingState(), KNRecorderStateIdle);
    EXPECT_TRUE(waitFor([this] { return !fakes->saver->isStarted; }, 5s)) << "the recording is finished";
    EXPECT_FALSE(camera->running);
    EXPECT_EQ(KNInternalRecorder::currentRecorderForTesting(), nullptr);
    EXPECT_EQ(KNRecorderTimer::liveTimersForTesting(), 0u);
    const std::weak_ptr<KNInternalRecorder> released = hub;
    hub.reset();
    EXPECT_TRUE(runMainUntil([&] { return released.expired(); })) << "nothing holds the pipeline";
}

TEST_F(RecorderTest, ALateConnectionAfterTheStopStartsNoTicker) {
    recorder->startStreaming(answers.completion());
    recorder->stopStreaming();
    hub->streamSourcesManagerFirstStreamDidConnect(nullptr);
    drainMainQueue();
    EXPECT_EQ(answers.log.entries(), (Entries{"NO 11001"}));
    EXPECT_EQ(KNRecorderTimer::liveTimersForTesting(), 0u);
}

TEST_F(RecorderTest, RefusalsWhileStreaming) {
    ASSERT_TRUE(startStreaming());
    const bool inverted = hub->videoFrameInverted();
    struct Row {
        std::string name;
        std::function<void(KNRecorder&, Entries&)> change;
        std::string answer;
    };
    const std::vector<Row> rows = {
        {"settings", [](auto& r, auto& a) { r.changeRecorderSettings(KNRecorderSettings::recorderSettings(), into(a)); }, "NO 0"},
        {"resolution", [](auto& r, auto& a) { r.changeVideoResolution(KNVideoFrameResolution640x360, into(a)); }, "NO 6001"},
        {"key frames", [](auto& r, auto& a) { r.changeKeyFrameInterval(60, into(a)); }, "NO 4001"},
        {"sample rate", [](auto& r, auto& a) { r.changeAudioSampleRate(48000, into(a)); }, "NO 5002"},
        {"inversion",
         [inverted](auto& r, auto& a) {
             std::shared_ptr<KNError> error;
             r.changeResolutionInversion(!inverted, &error);
             a.push_back("NO " + codes(error));
         },
         "NO 11005"},
    };
    for (const auto& row : rows) {
        Entries got;
        row.change(*recorder, got);
        EXPECT_EQ(got, (Entries{row.answer})) << row.name;
    }
    EXPECT_EQ(hub->videoFrameInverted(), inverted);
}

TEST_F(RecorderTest, TorchAnswersAndCodes) {
    struct Row {
        std::string name;
        std::function<void(CameraScript&)> camera;
        bool level;
        std::string answer;
    };
    const std::vector<Row> rows = {
        {"mode: the camera can't be locked", [](auto& c) { c.locks = false; }, false, "NO 3001"},
        {"mode: set", [](auto&) {}, false, "YES"},
        {"level: torch off", [](auto& c) { c.active = false; }, true, "NO 0"},
        {"level: the camera can't be locked", [](auto& c) { c.locks = false; }, true, "NO 3003"},
    };
    for (const auto& row : rows) {
        camera->script = {};
        row.camera(camera->script);
        settings->setTorchMode(KNTorchModeOff);
        Entries got;
        if (row.level) recorder->changeTorchLevel(0.5f, into(got));
        if (!row.level) recorder->changeTorchMode(KNTorchModeOn, into(got));
        EXPECT_EQ(got, (Entries{row.answer})) << row.name;
        const int64_t expectedMode = row.answer == "YES" && !row.level ? KNTorchModeOn : KNTorchModeOff;
        EXPECT_EQ(settings->torchMode(), expectedMode) << row.name;
    }
}

TEST_F(RecorderTest, TorchLevelIsClampedToWhatTheCameraTakes) {
    for (const float level : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}) {
        log->clear();
        recorder->changeTorchLevel(level);
        EXPECT_EQ(log->entries("torch.level"), (Entries{"torch.level 0.010000"})) << level;
    }
}

// A camera without the format, or one that can't be locked, keeps the rate in force.
TEST_F(RecorderTest, FrameRateAnswersTheRateInForce) {
    std::vector<int64_t> got;
    recorder->changeFrameRate(15, [&got](int64_t rate) { got.push_back(rate); });
    camera->script.takes = false;
    recorder->changeFrameRate(25, [&got](int64_t rate) { got.push_back(rate); });
    EXPECT_EQ(got, (std::vector<int64_t>{15, 15}));
    EXPECT_EQ(settings->frameRate(), 15);
}

TEST_F(RecorderTest, CameraSwitchCodes) {
    Entries got;
    camera->script.frontPresent = false;
    recorder->switchToCamera(KNCameraFront, into(got));
    camera->script.frontPresent = true;
    camera->script.takes = false;
    recorder->switchToCamera(KNCameraFront, into(got));
    EXPECT_EQ(got, (Entries{"NO 2001", "NO 2002"}));
    EXPECT_EQ(settings->currentCamera(), KNCameraBack);
}

TEST_F(RecorderTest, SettingsTheMicrophoneCantTakeAreRefusedSayingWhy) {
    Entries messages;
    const auto note = [&messages](bool ok, std::shared_ptr<KNError> e) {
        messages.push_back(ok ? "YES" : codes(e) + " " + e->message().value_or(""));
    };
    auto other = KNRecorderSettings::recorderSettings();
    other->setAudioSampleRate(44100);
    recorder->changeRecorderSettings(other, note);
    EXPECT_EQ(recorder->settings(), settings);
    recorder->changeRecorderSettings(nullptr, note);
    other->setAudioSampleRate(48000);
    recorder->changeRecorderSettings(other, note);
    EXPECT_EQ(messages, (Entries{"5002 The microphone delivers 48000 Hz; the audio sample rate can't differ from it.",
                                 "0 No recorder settings were given.", "YES"}));
    EXPECT_EQ(recorder->settings(), other);
}

TEST_F(RecorderTest, RecordingModeAsksForItsAccessAndStoresAnyOtherMode) {
    struct Row {
        int64_t mode;
        bool microphone;
        bool camera;
        std::string answer;
        int64_t stored;
    };
    const std::vector<Row> rows = {
        {KNRecordingModeAudioAndVideo, false, false, "NO 1001 1002", 0},
        {KNRecordingModeVideoOnly, true, false, "NO 1002", 0},
        {KNRecordingModeAudioOnly, false, true, "NO 1001", 0},
        {3, false, false, "YES", 3},
        {KNRecordingModeAudioOnly, true, false, "YES", KNRecordingModeAudioOnly},
    };
    for (const auto& row : rows) {
        settings->setRecordingMode(0);
        fakes->microphoneAccess = row.microphone;
        fakes->cameraAccess = row.camera;
        std::string answer;
        recorder->changeRecordingMode(row.mode, [&answer](bool ok, std::shared_ptr<KNError> e) {
            answer = "YES";
            if (ok) return;
            answer = "NO";
            for (const int64_t code : e->errorCodes()) answer += " " + str(code);
        });
        EXPECT_EQ(answer, row.answer) << row.mode;
        EXPECT_EQ(settings->recordingMode(), row.stored) << row.mode;
    }
}

TEST_F(RecorderTest, ASnapshotIsTheNextFramesFullPictureForTheLatestRequestOnly) {
    std::atomic<int> first{0};
    Entries got;
    recorder->takeSnapshot([&first](std::shared_ptr<KNImage>, std::shared_ptr<KNError>) { ++first; });
    recorder->takeSnapshot([&](std::shared_ptr<KNImage> image, std::shared_ptr<KNError> error) {
        got.push_back(image ? std::to_string(image->width) + "x" + std::to_string(image->height) : "no image " + codes(error));
    });
    EXPECT_TRUE(got.empty());
    hub->captureOutputDidOutputSampleBuffer(camera->videoOutput(), cameraFrame(64, 48));
    hub->captureOutputDidOutputSampleBuffer(camera->videoOutput(), cameraFrame(32, 16));
    EXPECT_EQ(got, (Entries{"64x48"}));
    EXPECT_EQ(first.load(), 0);
}

TEST_F(RecorderTest, TheStatusBarIsFollowedOnlyWhileAutorotating) {
    struct Row {
        int64_t videoOrientation;
        int64_t statusBar;
        size_t followed;
    };
    const std::vector<Row> rows = {{KNVideoOrientationAutorotate, 3, 1}, {KNVideoOrientationPortrait, 4, 0}};
    for (const auto& row : rows) {
        settings->setVideoOrientation(row.videoOrientation);
        log->clear();
        platform::Application::shared().setStatusBarOrientation(row.statusBar);
        drainMainQueue();
        EXPECT_EQ(log->entries("capture.orientation").size(), row.followed) << row.statusBar;
    }
    platform::Application::shared().setStatusBarOrientation(1);
    drainMainQueue();
}

// Proven on the real encoder: its configured rate, not a ceiling on what it happens to put out.
TEST(KNRecorderBitrate, ALiveChangeSetsTheRunningEncodersRate) {
    struct Components : FakeComponents {
        std::shared_ptr<KNHubVideoEncoder> encoder;
        std::shared_ptr<KNHubVideoEncoder> makeVideoEncoder() override { return encoder; }
    };
    auto components = std::make_shared<Components>();
    auto encoder = KNH264Encoder::create();
    struct Wrapped : KNHubVideoEncoder {
        std::shared_ptr<KNH264Encoder> e;
        void setDelegate(std::weak_ptr<KNH264EncoderDelegate> d) override { e->setDelegate(std::move(d)); }
        std::shared_ptr<platform::DispatchQueue> encodingQueue() const override { return e->encodingQueue(); }
        void setKeyFrameInterval(uint64_t f) override { e->setKeyFrameInterval(f); }
        void updateBitrate(int32_t b) override { e->updateBitrate(b); }
        void startEncodingWithResolutionHeight(int32_t w, int32_t h) override { e->startEncodingWithResolutionHeight(w, h); }
        void encode(std::shared_ptr<platform::SampleBuffer> s) override { e->encode(std::move(s)); }
        void stopEncoding() override { e->stopEncoding(); }
    };
    auto wrapped = std::make_shared<Wrapped>();
    wrapped->e = encoder;
    components->encoder = wrapped;
    KNInternalRecorderComponents::setCurrentForTesting(components);
    auto recorderSettings = KNRecorderSettings::recorderSettings();
    recorderSettings->setVideoFrameResolution(230400);
    auto recorder = KNRecorder::recorderWithStreamInfo(KNStreamInfo::create(), recorderSettings);
    recorder->prepareToRecord();
    recorder->startStreaming(nullptr);
    ASSERT_TRUE(waitFor([&] { return encoder->configuredAverageBitRate() == recorderSettings->videoBitrate(); }, 10s));
    Entries answers;
    recorder->changeVideoBitrate(800000, into(answers));
    EXPECT_EQ(answers, Entries{"YES"});
    EXPECT_TRUE(waitFor([&] { return encoder->configuredAverageBitRate() == 800000; }, 10s));
    EXPECT_EQ(recorderSettings->videoBitrate(), 800000);
    recorder->stopStreaming();
    recorder->endSession();
    drainMainQueue();
    KNInternalRecorderComponents::setCurrentForTesting(nullptr);
}

// A host that stops everything from the frame and audio taps, on the library's own threads.
struct StopsFromTheTaps : KNRecorderDelegate {
    void recorderDidOutputSampleBufferFromCaptureOutput(KNRecorder& r, const std::shared_ptr<platform::SampleBuffer>&,
                                                        const void*) override {
        stopAll(r);
    }
    void recorderDidOutputAudioBuffer(KNRecorder& r, const std::shared_ptr<const std::vector<uint8_t>>&) override { stopAll(r); }
    void stopAll(KNRecorder& r) {
        r.stopStreaming();
        r.stopRecording(nullptr);
        ++stops;
    }
    std::atomic<int> stops{0};
};

TEST_F(RecorderTest, StopsFromInsideTheTapsEndIdleWithNothingRunning) {
    ASSERT_TRUE(startStreaming());
    recorder->startRecording(nullptr);
    auto stopper = std::make_shared<StopsFromTheTaps>();
    recorder->setRecorderDelegate(stopper);
    fakes->h264->queue->async([this] { hub->captureOutputDidOutputSampleBuffer(camera->videoOutput(), cameraFrame()); });
    fakes->aac->queue->async([this] { hub->captureOutputAudioDataTimestamp(std::make_shared<const std::vector<uint8_t>>(64, 1), 9); });
    ASSERT_TRUE(waitFor([&] { return stopper->stops == 2; }, 10s));
    EXPECT_EQ(hub->recordingState(), KNRecorderStateIdle);
    EXPECT_TRUE(waitFor([&] { return recorder->state() == KNRecorderStateIdle; }, 10s));
    EXPECT_FALSE(fakes->h264->encoding);
    EXPECT_FALSE(fakes->aac->encoding);
}
