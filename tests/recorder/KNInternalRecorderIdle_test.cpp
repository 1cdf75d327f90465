// What runs once the hub is idle again, however it got there, and how recording starts and stops
// are answered while the pieces they wait for report on other threads.
#include <gtest/gtest.h>

#include <thread>

#include "HubFakes.h"
#include "kestrune/KNRecorderSettings.h"

using namespace kntest;
using Entries = std::vector<std::string>;

namespace {

std::shared_ptr<KNError> error(int64_t code) { return KNError::errorWithCodesMessage({code}, "cause"); }

// Stops the hub from inside its own "starting" report.
struct StopsWhenStarting : HubEvents {
    using HubEvents::HubEvents;
    void recorderDidChangeState(KNInternalRecorder* hub, int64_t s) override {
        HubEvents::recorderDidChangeState(hub, s);
        if (s == KNRecorderStateStarting) hub->stopStreaming();
    }
};

bool encoding(const FakeComponents& fakes) { return fakes.h264->encoding || fakes.aac->encoding; }

}  // namespace

TEST_F(HubTest, EveryWayToIdleStopsBothEncoders) {
    struct Row {
        std::string name;
        std::function<void(KNInternalRecorder&, FakeComponents&)> toIdle;
    };
    const std::vector<Row> rows = {
        {"stop recording, then stop streaming, the saver's stop still queued",
         [](auto& h, auto& f) {
             f.saver->holdStops = true;
             h.startStreamingWithCompletion(nullptr);
             h.startRecordingWithCompletion(nullptr);
             h.stopRecordingWithCompletion(nullptr);
             h.stopStreaming();
             f.saver->releaseStops();
         }},
        {"stop streaming, then stop recording",
         [](auto& h, auto&) {
             h.startStreamingWithCompletion(nullptr);
             h.startRecordingWithCompletion(nullptr);
             h.stopStreaming();
             h.stopRecordingWithCompletion(nullptr);
         }},
        {"a write failure of a recording without a stream",
         [](auto& h, auto&) {
             h.startRecordingWithCompletion(nullptr);
             h.localSaverDidFailWriting(error(110005));
         }},
        {"a write failure, then the host's stop of that recording",
         [](auto& h, auto&) {
             h.startRecordingWithCompletion(nullptr);
             h.localSaverDidFailWriting(error(110005));
             h.stopRecordingWithCompletion(nullptr);
         }},
        {"a stop from another thread while the start connects",
         [](auto& h, auto& f) {
             f.sources->onConnectAll = [&h] { std::thread([&h] { h.stopStreaming(); }).join(); };
             h.startStreamingWithCompletion(nullptr);
         }},
    };
    for (const auto& row : rows) {
        auto fakes = std::make_shared<FakeComponents>();
        fakes->aac->configured = true;
        auto hub = KNInternalRecorder::internalRecorderWithComponents(fakes);
        row.toIdle(*hub, *fakes);
        fakes->saver->queue->sync([] {});
        drainMainQueue();
        EXPECT_EQ(hub->recordingState(), KNRecorderStateIdle) << row.name;
        EXPECT_FALSE(encoding(*fakes)) << row.name;
        const int framesBefore = fakes->h264->encoded;
        const int audioBefore = fakes->aac->encoded;
        hub->captureOutputDidOutputSampleBuffer(hub->currentCaptureSession()->videoOutput(), cameraFrame());
        hub->captureOutputAudioDataTimestamp(std::make_shared<const std::vector<uint8_t>>(2048, 1), 5);
        EXPECT_EQ(fakes->aac->encoded, audioBefore) << row.name << ": idle audio still fed";
        EXPECT_EQ(fakes->h264->encoded, framesBefore) << row.name;
        hub->endSession();
    }
}

TEST_F(HubTest, AStopInsideTheStartLeavesNothingRunningAndReportsAgree) {
    auto stopper = std::make_shared<StopsWhenStarting>(log);
    hub->setInternalRecorderDelegate(stopper);
    Answers start;
    hub->startStreamingWithCompletion(start.completion());
    drainMainQueue();
    EXPECT_EQ(log->entries("state"), (Entries{"state 2", "state 3", "state 0"}));
    EXPECT_EQ(hub->recordingState(), KNRecorderStateIdle);
    EXPECT_FALSE(fakes->h264->encoding);
    EXPECT_FALSE(fakes->aac->encoding);
    EXPECT_EQ(log->count("sources.closeAll"), 1u);
    EXPECT_EQ(start.log.entries(), Entries{"NO 11001"});
    EXPECT_FALSE(fakes->idleTimerDisabled);
}

TEST_F(HubTest, AStreamStopLeavesARecordingRunningToItsOwnStop) {
    hub->startStreamingWithCompletion(nullptr);
    fakes->aac->configured = true;
    hub->startRecordingWithCompletion(nullptr);
    hub->stopStreaming();
    EXPECT_TRUE(fakes->h264->encoding);
    EXPECT_TRUE(fakes->aac->encoding);
    EXPECT_EQ(log->count("saver.stop"), 0u);
    HubLog stopped;
    hub->stopRecordingWithCompletion([&](bool ok, auto, auto file) { stopped.add(ok ? file->string() : "NO"); });
    ASSERT_TRUE(waitFor([&] { return !stopped.entries().empty(); }, 10s));
    EXPECT_EQ(stopped.entries(), Entries{"rec.mp4"});
    EXPECT_FALSE(encoding(*fakes));
}

// The audio encoder's "configured" report may land anywhere in a recording's start.
TEST_F(HubTest, ARecordingStartIsAnsweredOnceWhereverTheEncoderReportLands) {
    struct Row {
        std::string name;
        bool configuredBefore;
        bool reportWhileSavingIsSwitchedOn;
        bool reportWhenAsked;
    };
    const std::vector<Row> rows = {
        {"already configured", true, false, false},
        {"configured while the saver is switched on", false, true, false},
        {"configured as the hub asks", false, false, true},
    };
    for (const auto& row : rows) {
        auto fakes = std::make_shared<FakeComponents>();
        auto events = std::make_shared<HubEvents>(fakes->log);
        auto hub = KNInternalRecorder::internalRecorderWithComponents(fakes);
        hub->setInternalRecorderDelegate(events);
        fakes->aac->configured = row.configuredBefore;
        const auto report = [weak = std::weak_ptr(hub), aac = fakes->aac] {
            if (aac->configured.exchange(true)) return;
            if (auto h = weak.lock()) h->AACEncoderDidFinishConfiguring(nullptr);
        };
        if (row.reportWhileSavingIsSwitchedOn) fakes->saver->onSetSavingEnabled = report;
        if (row.reportWhenAsked) fakes->aac->onIsConfigured = report;
        Answers answers;
        hub->startRecordingWithCompletion(answers.completion());
        fakes->saver->queue->sync([] {});
        EXPECT_EQ(answers.log.entries(), Entries{"YES"}) << row.name;
        EXPECT_EQ(fakes->log->count("saver.start"), 1u) << row.name;
        EXPECT_TRUE(fakes->log->entries("error").empty()) << row.name;
        fakes->saver->onSetSavingEnabled = nullptr;
        fakes->aac->onIsConfigured = nullptr;
        hub->endSession();
    }
}

TEST_F(HubTest, AWriteFailureIsReportedOncePerRecording) {
    fakes->aac->configured = true;
    for (int recording = 1; recording <= 2; ++recording) {
        hub->startRecordingWithCompletion(nullptr);
        fakes->saver->queue->sync([] {});
        hub->localSaverDidFailWriting(error(110005));
        hub->localSaverDidFailWriting(error(110005));
        EXPECT_EQ(log->count("error 90001"), static_cast<size_t>(recording));
        Answers stop;
        hub->stopRecordingWithCompletion([&](bool ok, auto e, auto) { stop.log.add(ok ? "YES" : "NO " + str(e->errorCodes().front())); });
        EXPECT_EQ(stop.log.entries(), Entries{"NO 110003"});
        fakes->saver->queue->sync([] {});
    }
}

TEST_F(HubTest, EstimatesSetTheEncoderRateOnlyWhileAdaptiveBitrateIsOn) {
    auto settings = KNRecorderSettings::recorderSettings();
    settings->setVideoBitrate(1500000);
    hub->setupWithSettings(settings);
    hub->startAdaptiveBitrateService();
    // An estimate lowers the rate once a destination has dropped, and leaves the audio its share.
    hub->streamSourcesManagerDidDropPacket(nullptr);
    hub->streamSourcesManagerDidEstimateNewBitrate(nullptr, 812345);
    EXPECT_EQ(fakes->h264->bitrate, 812345 - 80000);
    hub->stopAdaptiveBitrateService();
    EXPECT_EQ(fakes->h264->bitrate, 1500000);
    // Estimated before the switch-off, delivered after it.
    hub->streamSourcesManagerDidEstimateNewBitrate(nullptr, 400000);
    EXPECT_EQ(fakes->h264->bitrate, 1500000);
}

TEST_F(HubTest, TheKeyFrameIntervalChangesNothingElse) {
    hub->setupWithSettings(KNRecorderSettings::recorderSettings());
    log->clear();
    hub->startEncoders();
    const auto before = log->entries("h264.");
    log->clear();
    Answers answer;
    hub->changeKeyFrameIntervalCompletion(12, answer.completion());
    hub->startEncoders();
    auto after = log->entries("h264.");
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front(), "h264.keyFrameInterval 12");
    after.front() = before.front();
    EXPECT_EQ(after, before);
    EXPECT_EQ(answer.log.entries(), Entries{"YES"});
}
