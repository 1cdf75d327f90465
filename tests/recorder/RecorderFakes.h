#pragma once
// A fake camera with torch and presence answers, and a recorder on the hub's fakes whose
// host writes every report into the shared log.
#include <cmath>

#include "HubFakes.h"
#include "kestrune/KNRecorder.h"
#include "kestrune/KNRecorderSettings.h"
#include "platform/capture/CaptureAuthorization.h"
#include "recorder/KNRecorderCameraControls.h"
#include "recorder/KNRecorderTimer.h"

namespace kntest {

// What the fake camera answers.
struct CameraScript {
    bool cameraTakes = true;
    bool frameRateTakes = true;
    bool frontPresent = true;
    bool locks = true;
    bool torch = true;
    bool modeSupported = true;
    bool available = true;
    bool active = true;
    std::optional<int64_t> levelError;
};

struct FakeCamera : FakeCapture, KNRecorderCameraControls {
    using FakeCapture::FakeCapture;
    bool changeCamera(int64_t c) override {
        log->add("capture.camera " + str(c));
        return script.cameraTakes;
    }
    bool changeFrameRate(int64_t r) override {
        log->add("capture.frameRate " + str(r));
        return script.frameRateTakes;
    }
    bool changeTorchMode(int64_t m) override {
        log->add("capture.torch " + str(m));
        return script.locks;
    }
    bool isCameraPresent(int64_t camera) const override { return camera == 0 || script.frontPresent; }
    bool hasTorch() const override { return script.torch; }
    bool isTorchModeSupported(int64_t) const override { return script.modeSupported; }
    bool isTorchAvailable() const override { return script.available; }
    bool isTorchActive() const override { return script.active; }
    TorchLevelOutcome setTorchModeOnWithLevel(float level) override {
        log->add("torch.level " + std::to_string(level));
        return {script.locks, script.levelError};
    }
    bool isFrameRateSupported(int64_t rate) const override { return rate <= 60; }
    bool isResolutionSupported(int64_t) const override { return true; }
    std::shared_ptr<platform::CaptureDevice> currentCamera() const override { return nullptr; }
    std::shared_ptr<platform::CaptureSession> session() const override { return nullptr; }

    CameraScript script;
};

struct HostLog : KNRecorderDelegate {
    explicit HostLog(LogPtr log) : log(std::move(log)) {}
    void recorderDidChangeState(KNRecorder&, KNRecorderState s) override { log->add("host.state " + str(s)); }
    void recorderDidReceiveWarning(KNRecorder&, const std::shared_ptr<KNWarning>& w) override {
        log->add("host.warning " + str(w->warningCodes().front()));
    }
    void recorderDidReceiveError(KNRecorder&, const std::shared_ptr<KNError>& e) override {
        log->add("host.error " + str(e->errorCodes().front()));
    }
    void recorderDidDropRtmpPacket(KNRecorder&) override { log->add("host.drop"); }
    void recorderDidUpdateStreamTime(KNRecorder&, double s) override { log->add("host.streamTime " + std::to_string(s)); }
    void recorderDidUpdateRecordTime(KNRecorder&, double s) override { log->add("host.recordTime " + std::to_string(s)); }
    LogPtr log;
};

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakes->capture = camera;
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
        platform::CaptureAuthorization::resetAuthorizationStatusForMediaType(platform::MediaType::Video);
        platform::CaptureAuthorization::resetAuthorizationStatusForMediaType(platform::MediaType::Audio);
    }
    static void drainMainQueue() {
        auto drained = std::make_shared<std::atomic<bool>>(false);
        platform::DispatchQueue::main()->async([drained] { *drained = true; });
        runMainUntil([drained] { return drained->load(); });
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
    std::shared_ptr<FakeCamera> camera = std::make_shared<FakeCamera>(log);
    std::shared_ptr<HostLog> host = std::make_shared<HostLog>(log);
    std::shared_ptr<KNRecorderSettings> settings = KNRecorderSettings::recorderSettings();
    std::atomic<double> clock{1000.0};
    std::shared_ptr<KNRecorder> recorder;
    std::shared_ptr<KNInternalRecorder> hub;
    Answers answers;
};

}  // namespace kntest
