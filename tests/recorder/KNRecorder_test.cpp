#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "RecorderFakes.h"
#include "kestrune/KNRecordingUtils.h"
#include "platform/ui/Application.h"

using namespace kntest;
using Entries = std::vector<std::string>;

namespace {

std::string codes(const std::shared_ptr<KNError>& error) {
    if (!error) return "none";
    std::string text;
    for (const int64_t code : error->errorCodes()) text += (text.empty() ? "" : ",") + str(code);
    return text;
}

// Every answer of a (success, error) completion: "YES", or "NO <codes>".
KNRecorder::Completion into(Entries& answers) {
    return [&answers](bool ok, std::shared_ptr<KNError> e) { answers.push_back(ok ? "YES" : "NO " + codes(e)); };
}

}  // namespace

// Streaming and recording both mean "not idle".
TEST_F(RecorderTest, ReportsReachTheHostWithTheStateMirroredAndTheDropRenamed) {
    EXPECT_FALSE(recorder->isRecording());
    ASSERT_TRUE(startStreaming());
    EXPECT_TRUE(recorder->isStreaming());
    EXPECT_TRUE(recorder->isRecording());
    hub->streamSourcesManagerDidDropPacket(nullptr);
    recorder->stopStreaming();

    EXPECT_EQ(log->entries("host."), (Entries{"host.state 2", "host.state 1", "host.drop", "host.state 3", "host.state 0"}));
    EXPECT_FALSE(recorder->isStreaming());
}

TEST_F(RecorderTest, BitrateIsKeptEvenWhenTheHostDoesNotListenForIt) {
    recorder->setRecorderDelegate(std::make_shared<KNRecorderDelegate>());
    hub->streamSourcesManagerDidUpdateBitrate(nullptr, 321);

    EXPECT_EQ(recorder->currentBitrate(), 321u);
}

TEST_F(RecorderTest, StreamTickerCountsFromTheFirstConnectionUntilIdle) {
    ASSERT_TRUE(startStreaming());
    EXPECT_EQ(KNRecorderTimer::liveTimersForTesting(), 1u);
    clock = 1002.5;
    EXPECT_TRUE(runMainUntil([this] { return log->count("host.streamTime 2.500000") > 0; }));
    // A clock set back still gives a distance, never a negative time.
    clock = 999.0;
    EXPECT_TRUE(runMainUntil([this] { return log->count("host.streamTime 1.000000") > 0; }));

    recorder->stopStreaming();
    EXPECT_EQ(KNRecorderTimer::liveTimersForTesting(), 0u);
}

TEST_F(RecorderTest, RefusedStartOrLateConnectionStartsNoTicker) {
    fakes->reachability->reachable = false;
    recorder->startStreaming(answers.completion());
    EXPECT_EQ(answers.log.entries(), (Entries{"NO 11004"}));

    fakes->reachability->reachable = true;
    recorder->startStreaming(answers.completion());
    recorder->stopStreaming();
    hub->streamSourcesManagerFirstStreamDidConnect(nullptr);
    drainMainQueue();
    EXPECT_EQ(answers.log.entries(), (Entries{"NO 11004", "NO 11001"}));
    EXPECT_EQ(KNRecorderTimer::liveTimersForTesting(), 0u);
}

TEST_F(RecorderTest, RecordingTickerStartsWhateverTheRecordingsOutcome) {
    fakes->saver->isStarted = true;
    // As a host does: from a task of the main loop, whose run loop then ticks.
    platform::DispatchQueue::main()->async([this] { recorder->startRecording(); });
    drainMainQueue();
    clock = 1001.0;
    EXPECT_TRUE(runMainUntil([this] { return log->count("host.recordTime 1.000000") > 0; }));
    EXPECT_EQ(KNRecorderTimer::liveTimersForTesting(), 1u);
}

TEST_F(RecorderTest, DestroyingTheRecorderLeavesNoTimerBehind) {
    ASSERT_TRUE(startStreaming());
    platform::DispatchQueue::main()->async([this] { recorder->startRecording(); });
    drainMainQueue();
    ASSERT_EQ(KNRecorderTimer::liveTimersForTesting(), 2u);

    recorder->endSession();
    recorder.reset();
    EXPECT_EQ(KNRecorderTimer::liveTimersForTesting(), 0u);
}

TEST_F(RecorderTest, RefusalsWhileStreamingAndWhatStaysAllowed) {
    ASSERT_TRUE(startStreaming());
    const bool inverted = hub->videoFrameInverted();
    const auto info = recorder->info();
    struct Row {
        std::string name;
        std::function<void(KNRecorder&, Entries&)> change;
        std::string answer;
    };
    const std::vector<Row> rows = {
        {"settings", [](auto& r, auto& a) { r.changeRecorderSettings(KNRecorderSettings::recorderSettings(), into(a)); }, "NO 0"},
        {"destination", [](auto& r, auto& a) { r.changeStreamInfo(KNStreamInfo::create(), into(a)); }, "NO 0"},
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
        {"bitrate", [](auto& r, auto& a) { r.changeVideoBitrate(800000, into(a)); }, "YES"},
        {"recording mode", [](auto& r, auto& a) { r.changeRecordingMode(KNRecordingModeAudioOnly, into(a)); }, "YES"},
        {"torch", [](auto& r, auto& a) { r.changeTorchMode(KNTorchModeOn, into(a)); }, "YES"},
        {"camera", [](auto& r, auto& a) { r.switchToCamera(KNCameraFront, into(a)); }, "YES"},
    };
    for (const auto& row : rows) {
        Entries got;
        row.change(*recorder, got);
        EXPECT_EQ(got, (Entries{row.answer})) << row.name;
    }
    EXPECT_EQ(log->count("h264.bitrate 800000"), 1u);
    EXPECT_EQ(settings->videoBitrate(), 800000);
    EXPECT_EQ(settings->recordingMode(), KNRecordingModeAudioOnly);
    EXPECT_EQ(settings->currentCamera(), KNCameraFront);
    EXPECT_EQ(hub->videoFrameInverted(), inverted);
    EXPECT_EQ(recorder->info(), info);
    EXPECT_GE(log->count("host.warning 0"), 2u);
}

TEST_F(RecorderTest, TorchAnswersAndCodes) {
    struct Row {
        std::string name;
        std::function<void(CameraScript&)> camera;
        bool level;
        std::string answer;
    };
    const std::vector<Row> rows = {
        {"mode: no torch", [](auto& c) { c.torch = false; }, false, "NO 3002"},
        {"mode: unsupported and unavailable",
         [](auto& c) {
             c.modeSupported = false;
             c.available = false;
         },
         false, "NO 3001,3002"},
        {"mode: the camera can't be locked", [](auto& c) { c.locks = false; }, false, "NO 3001"},
        {"mode: set", [](auto&) {}, false, "YES"},
        {"level: torch off", [](auto& c) { c.active = false; }, true, "NO 0"},
        {"level: the camera can't be locked", [](auto& c) { c.locks = false; }, true, "NO 3003"},
        {"level: unavailable", [](auto& c) { c.levelError = KNRecorderCameraControls::kTorchLevelUnavailable; }, true, "NO 3003"},
        {"level: another refusal", [](auto& c) { c.levelError = -11800; }, true, "NO -1"},
        {"level: set", [](auto&) {}, true, "YES"},
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
    const std::vector<std::pair<float, std::string>> rows = {
        {0.0f, "0.010000"},  {-1.0f, "0.010000"}, {std::numeric_limits<float>::quiet_NaN(), "0.010000"},
        {5.0f, "1.000000"},  {0.25f, "0.250000"},
    };
    for (const auto& [level, asked] : rows) {
        log->clear();
        recorder->changeTorchLevel(level);
        EXPECT_EQ(log->entries("torch.level"), (Entries{"torch.level " + asked})) << level;
    }
}

TEST_F(RecorderTest, FrameRateAnswersTheRateInForce) {
    struct Row {
        std::string name;
        bool takes;
        int64_t answered;
    };
    const std::vector<Row> rows = {
        {"taken", true, 15},
        {"no format or no lock", false, 15},
        {"back to 30", true, 30},
        {"refused again", false, 30},
    };
    const std::vector<int64_t> asked = {15, 25, 30, 60};
    for (size_t i = 0; i < rows.size(); ++i) {
        camera->script.frameRateTakes = rows[i].takes;
        std::vector<int64_t> got;
        recorder->changeFrameRate(asked[i], [&got](int64_t rate) { got.push_back(rate); });
        EXPECT_EQ(got, (std::vector<int64_t>{rows[i].answered})) << rows[i].name;
        EXPECT_EQ(settings->frameRate(), rows[i].answered) << rows[i].name;
    }
}

TEST_F(RecorderTest, CameraSwitchCodes) {
    Entries got;
    camera->script.frontPresent = false;
    recorder->switchToCamera(KNCameraFront, into(got));
    camera->script.frontPresent = true;
    camera->script.cameraTakes = false;
    recorder->switchToCamera(KNCameraFront, into(got));
    EXPECT_EQ(got, (Entries{"NO 2001", "NO 2002"}));
    EXPECT_EQ(settings->currentCamera(), KNCameraBack);
}

TEST_F(RecorderTest, RecordingModeNeedsItsAccessAndStoresAnyOtherMode) {
    platform::CaptureAuthorization::setAuthorizationStatusForMediaType(platform::MediaType::Audio,
                                                                       platform::AuthorizationStatus::Denied);
    platform::CaptureAuthorization::setAuthorizationStatusForMediaType(platform::MediaType::Video,
                                                                       platform::AuthorizationStatus::Denied);
    EXPECT_FALSE(recorder->isRecordingModeSupported(KNRecordingModeAudioOnly));
    EXPECT_FALSE(recorder->isRecordingModeSupported(KNRecordingModeVideoOnly));
    EXPECT_TRUE(recorder->isRecordingModeSupported(3));
    Entries got;
    recorder->changeRecordingMode(3, into(got));
    EXPECT_EQ(got, (Entries{"YES"}));
    EXPECT_EQ(settings->recordingMode(), 3);
}

TEST_F(RecorderTest, SnapshotWithoutCameraAccessIsRefusedAtOnce) {
    platform::CaptureAuthorization::setAuthorizationStatusForMediaType(platform::MediaType::Video,
                                                                       platform::AuthorizationStatus::Denied);
    Entries got;
    recorder->takeSnapshot([&got](std::shared_ptr<KNImage> image, std::shared_ptr<KNError> error) {
        got.push_back((image ? "image " : "no image ") + codes(error) + " " + error->message().value_or(""));
    });
    EXPECT_EQ(got, (Entries{"no image 1002 No camera access."}));
}

TEST_F(RecorderTest, SnapshotIsTheNextFramesFullPictureForTheLatestRequestOnly) {
    std::atomic<int> first{0};
    Entries got;
    std::mutex mutex;
    recorder->takeSnapshot([&first](std::shared_ptr<KNImage>, std::shared_ptr<KNError>) { ++first; });
    recorder->takeSnapshot([&](std::shared_ptr<KNImage> image, std::shared_ptr<KNError> error) {
        std::lock_guard lock(mutex);
        got.push_back(image ? std::to_string(image->width) + "x" + std::to_string(image->height) : "no image " + codes(error));
    });
    auto frame = platform::PixelBuffer::create(64, 48, platform::PixelFormat::NV12VideoRange);
    camera->deliver(platform::SampleBuffer::createWithImageBuffer(frame, {}));
    camera->queue->sync([] {});
    std::lock_guard lock(mutex);
    EXPECT_EQ(got, (Entries{"64x48"}));
    EXPECT_EQ(first.load(), 0);
}

TEST_F(RecorderTest, StatusBarIsFollowedOnlyWhileAutorotating) {
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

TEST_F(RecorderTest, AfterTheSessionEndsControlsAnswerAsWithoutACamera) {
    recorder->endSession();
    Entries got;
    std::shared_ptr<KNError> zoomError;
    recorder->switchToCamera(KNCameraFront, into(got));
    recorder->changeTorchMode(KNTorchModeOn, into(got));
    recorder->changeTorchLevel(0.5f, into(got));
    EXPECT_FALSE(recorder->setZoom(2.0, &zoomError));
    EXPECT_EQ(got, (Entries{"NO 2001", "NO 3002", "NO 0"}));
    EXPECT_EQ(codes(zoomError), "2002");
    EXPECT_EQ(recorder->getZoomRange(), (platform::Range{1, 1}));
    EXPECT_EQ(recorder->getZoom(), 0.0);
}

// Video-range BT.601 patches in a frame whose rows are wider than the picture.
TEST(KNRecordingUtils, FramesBecomeFullSizeImagesInTheirColours) {
    struct Row {
        std::string name;
        uint8_t y, u, v;
        uint8_t r, g, b;
    };
    const std::vector<Row> rows = {
        {"black", 16, 128, 128, 0, 0, 0},     {"white", 235, 128, 128, 255, 255, 255},
        {"red", 81, 90, 240, 255, 0, 0},      {"green", 145, 54, 34, 0, 255, 0},
        {"blue", 41, 240, 110, 0, 0, 255},    {"below black", 0, 128, 128, 0, 0, 0},
    };
    for (const auto& row : rows) {
        auto frame = platform::PixelBuffer::create(34, 6, platform::PixelFormat::NV12VideoRange);
        for (int line = 0; line < 6; ++line) std::memset(frame->planeData(0) + line * frame->bytesPerRow(0), row.y, 34);
        for (int line = 0; line < 3; ++line) {
            uint8_t* chroma = frame->planeData(1) + line * frame->bytesPerRow(1);
            for (int x = 0; x < 17; ++x) {
                chroma[2 * x] = row.u;
                chroma[2 * x + 1] = row.v;
            }
        }
        const auto image = KNRecordingUtils::recordingUtils()->screenshotOfVideoStream(frame);
        ASSERT_TRUE(image) << row.name;
        EXPECT_EQ(image->width, 34) << row.name;
        EXPECT_EQ(image->height, 6) << row.name;
        const uint8_t* corner = image->pixel(33, 5);
        EXPECT_NEAR(corner[0], row.r, 2) << row.name;
        EXPECT_NEAR(corner[1], row.g, 2) << row.name;
        EXPECT_NEAR(corner[2], row.b, 2) << row.name;
        EXPECT_EQ(corner[3], 255) << row.name;
    }
}
