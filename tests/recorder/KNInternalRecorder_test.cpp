#include <gtest/gtest.h>

#include <cstring>

#include "HubFakes.h"
#include "core/KNMetadata.h"
#include "kestrune/KNRecorderSettings.h"

using namespace kntest;
using Entries = std::vector<std::string>;

namespace {

std::shared_ptr<const std::vector<uint8_t>> bytes(size_t size) {
    return std::make_shared<const std::vector<uint8_t>>(size, 0x5a);
}

std::shared_ptr<platform::SampleBuffer> frame() {
    auto image = platform::PixelBuffer::create(64, 48, platform::PixelFormat::NV12VideoRange);
    std::memset(image->planeData(0), 200, image->bytesPerRow(0) * 48);
    return platform::SampleBuffer::createWithImageBuffer(image, {});
}

std::shared_ptr<KNError> error(int64_t code) { return KNError::errorWithCodesMessage({code}, "cause"); }

}  // namespace

TEST_F(HubTest, SetUpRunsInItsOrderAndIsRefusedWhileStreaming) {
    auto settings = KNRecorderSettings::recorderSettings();
    ASSERT_TRUE(hub->setupWithSettings(settings));
    EXPECT_EQ(log->entries("capture."),
              (Entries{"capture.camera 0", "capture.frameRate 30", "capture.orientation 4", "capture.torch 0"}));
    EXPECT_EQ(log->entries("mic.manual"), Entries{"mic.manual 0"});
    EXPECT_EQ(hub->settings(), settings);

    hub->startStreamingWithCompletion(nullptr);
    log->clear();
    auto other = KNRecorderSettings::recorderSettings();
    EXPECT_FALSE(hub->setupWithSettings(other));
    EXPECT_FALSE(hub->setupWithStreamInfo(KNStreamInfo::create()));
    EXPECT_FALSE(hub->changeStreamInfoWithNewStreamInfo(KNStreamInfo::create(), KNStreamInfo::create()));
    EXPECT_EQ(log->count("warning 0 Operation not allowed while streaming."), 3u);
    EXPECT_EQ(hub->settings(), settings);
    EXPECT_TRUE(fakes->sources->streamSources().empty());
}

TEST_F(HubTest, StartRefusalsAnswerAtOnce) {
    Answers unreachable;
    fakes->reachability->reachable = false;
    hub->startStreamingWithCompletion(unreachable.completion());
    EXPECT_EQ(unreachable.log.entries(), Entries{"NO 11004"});
    EXPECT_EQ(hub->recordingState(), KNRecorderStateIdle);

    Answers second;
    fakes->reachability->reachable = true;
    hub->startStreamingWithCompletion(nullptr);
    hub->startStreamingWithCompletion(second.completion());
    EXPECT_EQ(second.log.entries(), Entries{"NO 11005"});
    EXPECT_EQ(log->entries("state"), (Entries{"state 2", "state 1"}));
}

// How the held start completion is answered: once, and never with success for a stopped stream.
TEST_F(HubTest, HeldStartCompletionIsAnsweredOnce) {
    struct Row {
        std::string name;
        std::function<void(KNInternalRecorder&, FakeComponents&)> before;
        std::function<void(KNInternalRecorder&)> after;
        Entries answers;
        Entries states;
        size_t errors80001;
    };
    const std::vector<Row> rows = {
        {"first connection", nullptr, [](auto& h) { h.streamSourcesManagerFirstStreamDidConnect(nullptr); },
         {"YES"}, {"state 2", "state 1"}, 0},
        {"connected before the start",
         [](auto& h, auto& f) {
             h.setupWithStreamInfo(KNStreamInfo::create());
             f.sources->alreadyConnected = true;
         },
         nullptr,
         {"YES"}, {"state 2", "state 1"}, 0},
        {"stop, then a late connection", nullptr,
         [](auto& h) {
             h.stopStreaming();
             h.streamSourcesManagerFirstStreamDidConnect(nullptr);
         },
         {"NO 11001"}, {"state 2", "state 1", "state 3", "state 0"}, 0},
        {"two failures before any connection", nullptr,
         [](auto& h) {
             h.streamSourcesManagerStreamSourceDidFailConnectingWithError(nullptr, nullptr, error(30003));
             h.streamSourcesManagerStreamSourceDidFailConnectingWithError(nullptr, nullptr, error(30003));
         },
         {"NO 80001"}, {"state 2", "state 1", "state 3", "state 0"}, 2},
        {"a failure after the first connection", nullptr,
         [](auto& h) {
             h.streamSourcesManagerFirstStreamDidConnect(nullptr);
             h.streamSourcesManagerStreamSourceDidFailConnectingWithError(nullptr, nullptr, error(30003));
         },
         {"YES"}, {"state 2", "state 1"}, 1},
    };
    for (const auto& row : rows) {
        auto fakes = std::make_shared<FakeComponents>();
        auto events = std::make_shared<HubEvents>(fakes->log);
        auto hub = KNInternalRecorder::internalRecorderWithComponents(fakes);
        hub->setInternalRecorderDelegate(events);
        if (row.before) row.before(*hub, *fakes);
        Answers answers;
        hub->startStreamingWithCompletion(answers.completion());
        EXPECT_TRUE(answers.log.entries().empty()) << row.name;
        if (row.after) row.after(*hub);
        drainMainQueue();
        EXPECT_EQ(answers.log.entries(), row.answers) << row.name;
        EXPECT_EQ(fakes->log->entries("state"), row.states) << row.name;
        EXPECT_EQ(fakes->log->count("error 80001"), row.errors80001) << row.name;
        hub->endSession();
    }
}

TEST_F(HubTest, EveryStoppingEventStopsWithItsReportsInOrder) {
    struct Row {
        std::string name;
        std::function<void(KNInternalRecorder&, FakeComponents&)> event;
        Entries reports;
    };
    const Entries stop = {"state 3", "state 0"};
    const std::vector<Row> rows = {
        {"network lost", [](auto&, auto& f) { f.reachability->report(KNNetworkStatusNotReachable); },
         {"network 0", "state 3", "state 0"}},
        {"network on WiFi", [](auto&, auto& f) { f.reachability->report(KNNetworkStatusReachableViaWiFi); }, {"network 1"}},
        {"capture stopped", [](auto& h, auto&) { h.captureSessionDidStopRunning(); },
         {"state 3", "state 0", "mic.running 0", "info 1002"}},
        {"audio route changed", [](auto& h, auto&) { h.captureOutputRouteDidChange(); }, stop},
        {"video encoder can't start", [](auto& h, auto&) { h.H264EncoderDidFailStartingWithError(nullptr, error(1)); },
         {"error 70001", "state 3", "state 0"}},
        {"audio encoder 50001", [](auto& h, auto&) { h.AACEncoderDidFailEncodingWithError(nullptr, error(50001)); },
         {"state 3", "state 0", "error 60001"}},
        {"audio encoder 50003", [](auto& h, auto&) { h.AACEncoderDidFailEncodingWithError(nullptr, error(50003)); }, {}},
        {"one frame fails to encode", [](auto& h, auto&) { h.H264EncoderDidFailEncodingWithError(nullptr, error(1)); }, {}},
    };
    for (const auto& row : rows) {
        auto fakes = std::make_shared<FakeComponents>();
        auto events = std::make_shared<HubEvents>(fakes->log);
        auto hub = KNInternalRecorder::internalRecorderWithComponents(fakes);
        hub->setInternalRecorderDelegate(events);
        hub->startStreamingWithCompletion(nullptr);
        fakes->log->clear();
        row.event(*hub, *fakes);
        fakes->reachability->queue->sync([] {});
        drainMainQueue();
        auto reports = fakes->log->entries();
        std::erase_if(reports, [](const auto& e) { return e.rfind("state", 0) && e.rfind("network", 0) && e.rfind("info", 0) && e.rfind("error", 0) && e != "mic.running 0"; });
        EXPECT_EQ(reports, row.reports) << row.name;
        hub->endSession();
    }
}

TEST_F(HubTest, EncoderOutputIsRoutedUnchanged) {
    const std::vector<std::pair<std::function<void()>, std::string>> rows = {
        {[&] { hub->H264EncoderDidExtractSpsPps(nullptr, bytes(9), bytes(4)); }, "sources.sps 9"},
        {[&] { hub->H264EncoderDidEncodeDataIsKeyFrameTimestamp(nullptr, bytes(700), true, 12345); }, "sources.video 700 1 12345"},
        {[&] { hub->H264EncoderDidEncodeSampleBuffer(nullptr, frame()); }, "saver.video"},
        {[&] { hub->AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(nullptr, bytes(207), {}, 999); }, "sources.audio 207 999"},
        {[&] { hub->AACEncoderDidEncodeDataWithDurationPresentationTime(nullptr, bytes(200), {}, {}); }, "saver.audio"},
    };
    for (const auto& [report, expected] : rows) {
        log->clear();
        report();
        EXPECT_EQ(log->entries(), Entries{expected});
    }
}

TEST_F(HubTest, VideoOffBlacksFramesAfterTheHostSawThemAndAudioOffSilences) {
    hub->setIsSendingVideo(false);
    hub->setIsSendingAudio(false);
    auto snapshot = std::make_shared<std::atomic<int>>(0);
    hub->takeSnapshotWithCompletion([snapshot](auto, int64_t, auto) { *snapshot += 10; });
    hub->takeSnapshotWithCompletion([snapshot](auto, int64_t, auto) { *snapshot += 1; });
    auto picture = frame();
    fakes->capture->deliver(picture);
    fakes->h264->queue->sync([] {});
    ASSERT_EQ(fakes->h264->encoded, picture);
    const auto& image = picture->imageBuffer();
    EXPECT_EQ(image->planeData(0)[image->bytesPerRow(0) * 48 - 1], 0);
    EXPECT_EQ(image->planeData(1)[0], 128);
    EXPECT_EQ(snapshot->load(), 1);

    hub->captureOutputAudioDataTimestamp(bytes(2048), 5);
    ASSERT_NE(fakes->aac->encoded, nullptr);
    EXPECT_EQ(*fakes->aac->encoded, std::vector<uint8_t>(2048, 0));
}

TEST_F(HubTest, EncodersStartAtTheMicrophoneRateAndTheInvertedSize) {
    auto settings = KNRecorderSettings::recorderSettings();
    settings->setAudioSampleRate(44100);
    hub->setupWithSettings(settings);
    Answers rate;
    hub->changeAudioSampleRateCompletion(44100, rate.completion());
    EXPECT_EQ(rate.log.entries(), Entries{"NO 5002"});
    EXPECT_EQ(fakes->sources->metadata->videoWidth(), 720);
    EXPECT_EQ(fakes->sources->metadata->videoHeight(), 1280);
    log->clear();
    hub->startEncoders();
    EXPECT_EQ(log->entries("h264.start"), Entries{"h264.start 720x1280"});
    EXPECT_EQ(log->entries("aac."), (Entries{"aac.rate 48000", "aac.channels 1", "aac.bitrate 80000", "aac.start at 48000"}));
    EXPECT_EQ(log->entries("saver."), (Entries{"saver.size 720x1280", "saver.rate 48000"}));
}

TEST_F(HubTest, AdaptiveBitrateFollowsTheValidatorAndStoppingRestoresTheSettings) {
    hub->setupWithSettings(KNRecorderSettings::recorderSettings());
    hub->startStreamingWithCompletion(nullptr);
    log->clear();
    hub->streamSourcesManagerDidEstimateNewBitrate(nullptr, 900000);
    hub->streamSourcesManagerDidEstimateNewBitrate(nullptr, 4000000);
    hub->stopStreaming();
    EXPECT_EQ(log->entries("h264.bitrate"), (Entries{"h264.bitrate 900000", "h264.bitrate 2500000", "h264.bitrate 1700000"}));
    EXPECT_EQ(log->entries("aac.bitrate"), Entries{"aac.bitrate 80000"});

    const std::vector<std::pair<uint64_t, uint64_t>> ladder = {{1048576, 80000}, {1048577, 96000}, {4194304, 128000}, {4194305, 256000}};
    for (const auto& [estimate, bitrate] : ladder) EXPECT_EQ(hub->adaptAudioToBandwidthEstimation(estimate), bitrate);
    hub->videoEncoderSettingsValidatorDidAdjustBitrate(1500000);
    EXPECT_EQ(log->count("warning 3001 Bitrate adjusted to maximum for current resolution 1464 kbps"), 1u);
    EXPECT_EQ(hub->settings()->videoBitrate(), 1500000);
}

TEST_F(HubTest, RecordingCompletionsAreAnsweredExactlyOnce) {
    Answers stopIdle;
    hub->stopRecordingWithCompletion([&](bool ok, auto e, auto file) {
        stopIdle.log.add(ok ? "YES" : "NO " + str(e->errorCodes().front()) + (file ? " file" : ""));
    });
    EXPECT_EQ(stopIdle.log.entries(), Entries{"NO 110003"});

    Answers deferred;
    hub->startRecordingWithCompletion(deferred.completion());
    EXPECT_EQ(deferred.log.entries(), Entries{"YES"});
    EXPECT_EQ(log->count("saver.start"), 0u);
    fakes->saver->hold = true;
    fakes->aac->configured = true;
    hub->AACEncoderDidFinishConfiguring(nullptr);
    hub->AACEncoderDidFinishConfiguring(nullptr);
    fakes->saver->release();
    fakes->saver->queue->sync([] {});
    EXPECT_EQ(log->entries("saver.cookie").size(), 2u);
    EXPECT_EQ(log->count("saver.start"), 1u);
    EXPECT_EQ(log->entries("saver.name"), Entries{"saver.name rec1"});
    EXPECT_TRUE(log->entries("error").empty());

    hub->localSaverDidFailWriting(error(110005));
    hub->localSaverDidFailWriting(error(110005));
    EXPECT_EQ(log->count("error 90001"), 1u);
}

TEST_F(HubTest, StoppingWhileIdleFinishesTheFileAfterTheEncoders) {
    hub->setIsSendingAudio(false);
    Answers started;
    hub->startRecordingWithCompletion(started.completion());
    fakes->saver->queue->sync([] {});
    EXPECT_EQ(started.log.entries(), Entries{"YES"});
    struct Row {
        bool exportToLibrary;
        bool libraryAccepts;
        std::string answer;
    };
    const std::vector<Row> rows = {{false, true, "YES rec.mp4"}, {true, false, "NO 100001"}};
    for (const auto& row : rows) {
        auto settings = KNRecorderSettings::recorderSettings();
        settings->setExportLocalVideoToAssetLibrary(row.exportToLibrary);
        hub->setupWithSettings(settings);
        fakes->libraryAccepts = row.libraryAccepts;
        fakes->saver->enabled = true;
        log->clear();
        HubLog answers;
        hub->stopRecordingWithCompletion([&](bool ok, auto e, auto file) {
            answers.add(ok ? "YES " + file->string() : "NO " + str(e->errorCodes().front()));
        });
        ASSERT_TRUE(waitFor([&] { return !answers.entries().empty(); }, 10s));
        fakes->saver->queue->sync([] {});
        EXPECT_EQ(answers.entries(), Entries{row.answer});
        EXPECT_EQ(log->entries("h264.stop").size() + log->entries("aac.stop").size(), 2u);
        const auto all = log->entries();
        EXPECT_LT(std::ranges::find(all, "aac.stop"), std::ranges::find(all, "saver.stop"));
    }
}

TEST_F(HubTest, TheProcessWideReferenceKeepsAHubUntilItsSessionEnds) {
    std::weak_ptr<KNInternalRecorder> first = hub;
    hub.reset();
    EXPECT_FALSE(first.expired());
    auto second = KNInternalRecorder::internalRecorderWithComponents(std::make_shared<FakeComponents>());
    EXPECT_EQ(KNInternalRecorder::currentRecorderForTesting(), second);
    EXPECT_TRUE(first.expired());
    std::weak_ptr<KNInternalRecorder> watched = second;
    second->endSession();
    second.reset();
    EXPECT_TRUE(watched.expired());
}

TEST_F(HubTest, AfterTheSessionEndsTheCameraIsGone) {
    hub->startStreamingWithCompletion(nullptr);
    hub->endSession();
    hub->captureSessionDidStopRunning();
    EXPECT_EQ(hub->recordingState(), KNRecorderStateStreaming);
    hub->startCamera();
    Answers camera;
    hub->changeCameraCompletion(KNCameraFront, camera.completion());
    hub->changeTorchModeCompletion(KNTorchModeOn, camera.completion());
    EXPECT_EQ(camera.log.entries(), (Entries{"NO 2001", "NO 3002"}));
    EXPECT_EQ(log->count("capture.removePreview"), 1u);
    EXPECT_EQ(log->count("capture.start"), 1u);
    hub->stopStreaming();
}

TEST_F(HubTest, ReplacingOrRemovingADestinationClosesTheListedOne) {
    auto oldInfo = KNStreamInfo::create();
    hub->setupWithStreamInfo(oldInfo);
    auto sameAddress = KNStreamInfo::create();
    EXPECT_TRUE(hub->changeStreamInfoWithNewStreamInfo(sameAddress, KNStreamInfo::secureStreamInfo()));
    EXPECT_EQ(log->entries("sources."), (Entries{"sources.close listed", "sources.remove listed"}));

    log->clear();
    auto listed = hub->streamSources().front();
    hub->removeStreamingSourceWithInfo(listed->copy());
    EXPECT_EQ(log->entries("sources."), (Entries{"sources.close listed", "sources.remove listed"}));
}
