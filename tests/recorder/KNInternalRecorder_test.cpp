#include <gtest/gtest.h>

#include "HubFakes.h"
#include "kestrune/KNImage.h"
#include "kestrune/KNRecorderSettings.h"

using namespace kntest;
using Entries = std::vector<std::string>;

namespace {

std::shared_ptr<const std::vector<uint8_t>> bytes(size_t size) {
    return std::make_shared<const std::vector<uint8_t>>(size, 0x5a);
}

std::shared_ptr<KNError> error(int64_t code) { return KNError::errorWithCodesMessage({code}, "cause"); }

}  // namespace

TEST_F(HubTest, SetUpRunsInItsOrderAndIsRefusedWhileStreaming) {
    auto settings = KNRecorderSettings::recorderSettings();
    ASSERT_TRUE(hub->setupWithSettings(settings));
    EXPECT_EQ(log->entries("capture."),
              (Entries{"capture.camera 0", "capture.frameRate 30 at 1920x1080", "capture.preset 1280x720",
                       "capture.frameRate 30 at 1280x720", "capture.frameRate 30 at 1280x720", "capture.orientation 4",
                       "capture.torch 0"}));

    hub->startStreamingWithCompletion(nullptr);
    log->clear();
    auto other = KNRecorderSettings::recorderSettings();
    EXPECT_FALSE(hub->setupWithSettings(other));
    EXPECT_EQ(log->count("warning 0 Operation not allowed while streaming."), 1u);
    EXPECT_EQ(hub->settings(), settings);
}

TEST_F(HubTest, AStartWithADestinationAlreadyConnectedIsAnsweredOnTheMainQueue) {
    hub->setupWithStreamInfo(KNStreamInfo::create());
    fakes->sources->alreadyConnected = true;
    Answers answers;
    hub->startStreamingWithCompletion(answers.completion());
    EXPECT_TRUE(answers.log.entries().empty());
    drainMainQueue();
    EXPECT_EQ(answers.log.entries(), Entries{"YES"});
}

TEST_F(HubTest, AStartWithoutACameraIsRefusedUnlessOnlyAudioIsSent) {
    hub->setupWithStreamInfo(KNStreamInfo::create());
    fakes->cameraAccess = false;
    Answers answers;
    hub->startStreamingWithCompletion(answers.completion());
    EXPECT_EQ(answers.log.entries(), Entries{"NO 1002"});
    EXPECT_EQ(hub->recordingState(), KNRecorderStateIdle);
    hub->changeRecordingModeWithCompletion(KNRecordingModeAudioOnly, nullptr);
    fakes->sources->alreadyConnected = true;
    hub->startStreamingWithCompletion(answers.completion());
    drainMainQueue();
    EXPECT_EQ(answers.log.entries(), (Entries{"NO 1002", "YES"}));
}

TEST_F(HubTest, EveryStoppingEventStopsWithItsReportsInOrder) {
    struct Row {
        std::string name;
        std::function<void(KNInternalRecorder&, FakeComponents&)> event;
        Entries reports;
    };
    const std::vector<Row> rows = {
        {"capture stopped", [](auto& h, auto&) { h.captureSessionDidStopRunning(); },
         {"state 3", "state 0", "mic.running 0", "info 1002"}},
        {"audio route changed", [](auto& h, auto&) { h.captureOutputRouteDidChange(); }, {"state 3", "state 0"}},
        {"video encoder can't start", [](auto& h, auto&) { h.H264EncoderDidFailStartingWithError(nullptr, error(1)); },
         {"error 70001", "state 3", "state 0"}},
        {"audio encoder 50001", [](auto& h, auto&) { h.AACEncoderDidFailEncodingWithError(nullptr, error(50001)); },
         {"state 3", "state 0", "error 60001"}},
        {"every destination failed before one connected",
         [](auto& h, auto&) {
             h.streamSourcesManagerStreamSourceDidFailConnectingWithError(nullptr, nullptr, error(30003));
             h.streamSourcesManagerStreamSourceDidFailConnectingWithError(nullptr, nullptr, error(30003));
         },
         {"error 80001", "error 80001", "state 3", "state 0"}},
    };
    for (const auto& row : rows) {
        auto fakes = std::make_shared<FakeComponents>();
        auto events = std::make_shared<HubEvents>(fakes->log);
        auto hub = KNInternalRecorder::internalRecorderWithComponents(fakes);
        hub->setInternalRecorderDelegate(events);
        // Held, as no destination connected yet.
        hub->startStreamingWithCompletion([](bool, std::shared_ptr<KNError>) {});
        fakes->log->clear();
        row.event(*hub, *fakes);
        drainMainQueue();
        auto reports = fakes->log->entries();
        std::erase_if(reports, [](const auto& e) { return e.rfind("state", 0) && e.rfind("info", 0) && e.rfind("error", 0) && e != "mic.running 0"; });
        EXPECT_EQ(reports, row.reports) << row.name;
        hub->endSession();
    }
}

TEST_F(HubTest, EncoderOutputIsRoutedUnchanged) {
    const std::vector<std::pair<std::function<void()>, std::string>> rows = {
        {[&] { hub->H264EncoderDidExtractSpsPps(nullptr, bytes(9), bytes(4)); }, "sources.sps 9"},
        {[&] { hub->H264EncoderDidEncodeDataIsKeyFrameTimestamp(nullptr, bytes(700), true, 12345); }, "sources.video 700 1 12345"},
        {[&] { hub->H264EncoderDidEncodeSampleBuffer(nullptr, nullptr); }, "saver.video"},
        {[&] { hub->AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(nullptr, bytes(207), {}, 999); }, "sources.audio 207 999"},
        {[&] { hub->AACEncoderDidEncodeDataWithDurationPresentationTime(nullptr, bytes(200), {}, {}); }, "saver.audio"},
    };
    for (const auto& [report, expected] : rows) {
        log->clear();
        report();
        EXPECT_EQ(log->entries(), Entries{expected});
    }
}

// The estimate covers the whole stream, and until a destination drops it is only the stream's own
// rate: it may raise the video bit rate, but lowers it only once the link has shown a limit.
TEST_F(HubTest, AdaptiveBitrateLeavesTheAudioItsShareAndLowersOnlyAfterADrop) {
    auto settings = KNRecorderSettings::recorderSettings();
    settings->setVideoBitrate(2000000);
    ASSERT_TRUE(hub->setupWithSettings(settings));
    hub->startAdaptiveBitrateService();
    struct Row {
        const char* name;
        bool dropFirst;
        uint64_t estimate;
        int32_t videoBitrate;
    };
    const Row rows[] = {
        {"lower, no drop yet: kept", false, 1500000, 2000000},
        {"higher: taken less the audio", false, 2400000, 2320000},
        {"lower after a drop: taken less the audio", true, 1000000, 920000},
        {"below the audio's share: the floor", false, 50000, 1000},
    };
    fakes->h264->bitrate = 2000000;
    for (const auto& row : rows) {
        if (row.dropFirst) hub->streamSourcesManagerDidDropPacket(nullptr);
        hub->streamSourcesManagerDidEstimateNewBitrate(nullptr, row.estimate);
        EXPECT_EQ(fakes->h264->bitrate, row.videoBitrate) << row.name;
    }
    hub->stopAdaptiveBitrateService();
    EXPECT_EQ(fakes->h264->bitrate, 2000000) << "switching off restores the setting";
    hub->startAdaptiveBitrateService();
    hub->streamSourcesManagerDidEstimateNewBitrate(nullptr, 1500000);
    EXPECT_EQ(fakes->h264->bitrate, 2000000) << "a new start forgets the old drops";
}

TEST_F(HubTest, TheAudioEncoderStartsAtTheMicrophoneRate) {
    auto settings = KNRecorderSettings::recorderSettings();
    settings->setAudioSampleRate(44100);
    hub->setupWithSettings(settings);
    Answers rate;
    hub->changeAudioSampleRateCompletion(44100, rate.completion());
    EXPECT_EQ(rate.log.entries(), Entries{"NO 5002"});
    log->clear();
    hub->startEncoders();
    EXPECT_EQ(log->entries("aac."), (Entries{"aac.rate 48000", "aac.channels 1", "aac.bitrate 80000", "aac.start at 48000"}));
    EXPECT_EQ(log->entries("saver.rate"), Entries{"saver.rate 48000"});
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
    fakes->saver->enabled = true;
    log->clear();
    HubLog answers;
    hub->stopRecordingWithCompletion([&](bool ok, auto e, auto file) {
        answers.add(ok ? "YES " + file->string() : "NO " + str(e->errorCodes().front()));
    });
    ASSERT_TRUE(waitFor([&] { return !answers.entries().empty(); }, 10s));
    EXPECT_EQ(answers.entries(), Entries{"YES rec.mp4"});
    const auto all = log->entries();
    EXPECT_LT(std::ranges::find(all, "h264.stop"), std::ranges::find(all, "saver.stop"));
    EXPECT_LT(std::ranges::find(all, "aac.stop"), std::ranges::find(all, "saver.stop"));
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

// The host sees each frame as captured; the encoder and a snapshot see it blacked out.
struct TapSeesLuma : HubEvents {
    using HubEvents::HubEvents;
    void recorderDidOutputSampleBufferFromCaptureOutput(KNInternalRecorder*, const std::shared_ptr<platform::SampleBuffer>& b,
                                                        const void*) override {
        lumaSeen = b->imageBuffer()->planeData(0)[0];
    }
    void recorderDidOutputAudioBuffer(KNInternalRecorder*, const Bytes& buffer) override { audioSeen = buffer; }
    std::atomic<int> lumaSeen{-1};
    Bytes audioSeen;
};

TEST_F(HubTest, VideoOffBlacksFramesAfterTheHostSawThemAndAudioOffSilences) {
    auto tap = std::make_shared<TapSeesLuma>(log);
    hub->setInternalRecorderDelegate(tap);
    hub->startEncoders();
    hub->setIsSendingVideo(false);
    hub->setIsSendingAudio(false);
    std::atomic<int> first{0};
    std::shared_ptr<KNImage> snapshot;
    hub->takeSnapshotWithCompletion([&first](auto, auto) { ++first; });
    hub->takeSnapshotWithCompletion([&snapshot](std::shared_ptr<KNImage> image, auto) { snapshot = std::move(image); });
    auto picture = cameraFrame(64, 48, 200);
    hub->captureOutputDidOutputSampleBuffer(fakes->capture->videoOutput(), picture);
    EXPECT_EQ(tap->lumaSeen, 200);
    EXPECT_EQ(fakes->h264->encoded, 1);
    const auto& image = picture->imageBuffer();
    EXPECT_EQ(image->planeData(0)[image->bytesPerRow(0) * 48 - 1], 0);
    EXPECT_EQ(image->planeData(1)[image->bytesPerRow(1) * 24 - 1], 128);
    EXPECT_EQ(first, 0);
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->width, 64);
    EXPECT_EQ(snapshot->pixel(63, 47)[0], 0);

    hub->captureOutputAudioDataTimestamp(bytes(2048), 5);
    ASSERT_NE(fakes->aac->lastData(), nullptr);
    EXPECT_EQ(*fakes->aac->lastData(), std::vector<uint8_t>(2048, 0));
    EXPECT_EQ(*tap->audioSeen, std::vector<uint8_t>(2048, 0));
}

TEST_F(HubTest, TheMetadataCarriesTheRateTheAudioEncoderRunsAt) {
    auto settings = KNRecorderSettings::recorderSettings();
    settings->setAudioSampleRate(44100);
    hub->setupWithSettings(settings);
    EXPECT_EQ(fakes->sources->metadataSampleRate, 48000);
}

// Four 16-bit samples at the start of a longer buffer.
TEST_F(HubTest, MutingZeroesTheSamplesAndKeepsTheOriginal) {
    std::vector<uint8_t> pcm(12, 0x7f);
    auto original = platform::SampleBuffer::createWithData(platform::BlockBuffer::createWithBytes(pcm), nullptr, 4,
                                                           {platform::MediaTime::make(4, 48000), platform::MediaTime::make(9, 48000),
                                                            platform::MediaTime::invalid()});
    ASSERT_TRUE(original);
    const auto muted = KNInternalRecorder::muteAudioInBuffer(*original);
    ASSERT_TRUE(muted);
    std::vector<uint8_t> expected(12, 0x7f);
    std::fill_n(expected.begin(), 8, uint8_t{0});
    EXPECT_EQ(muted->dataBuffer()->bytes(), expected);
    EXPECT_EQ(original->dataBuffer()->bytes(), pcm);
    EXPECT_EQ(muted->numSamples(), 4);
    EXPECT_EQ(muted->presentationTimeStamp(), original->presentationTimeStamp());
}
