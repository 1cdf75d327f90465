#pragma once
// The real camera road with a network monitor and a video encoder the test can watch, and the
// checks its recordings go through.
#include <gtest/gtest.h>

#include <sstream>

#include "HubFakes.h"
#include "platform/HostClock.h"
#include "kestrune/KNRecorderSettings.h"
#include "platform/NotificationCenter.h"
#include "platform/audio/AudioSession.h"

namespace kntest {

// Passes an encoder's reports on to the hub, counting the encoded frames and packets.
struct OutputCounter : KNH264EncoderDelegate, KNAACEncoderDelegate {
    using Bytes = KNH264EncoderDelegate::Bytes;
    void H264EncoderDidExtractSpsPps(KNH264Encoder* e, const Bytes& sps, const Bytes& pps) override {
        if (auto d = video.lock()) d->H264EncoderDidExtractSpsPps(e, sps, pps);
    }
    void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder* e, const Bytes& data, bool key, uint64_t ms) override {
        if (auto d = video.lock()) d->H264EncoderDidEncodeDataIsKeyFrameTimestamp(e, data, key, ms);
    }
    void H264EncoderDidEncodeSampleBuffer(KNH264Encoder* e, const std::shared_ptr<platform::SampleBuffer>& b) override {
        {
            std::lock_guard lock(outputsMutex);
            keyFrames.push_back(b && b->isSync());
        }
        ++frames;
        if (auto d = video.lock()) d->H264EncoderDidEncodeSampleBuffer(e, b);
    }
    void H264EncoderDidFailStartingWithError(KNH264Encoder* e, const std::shared_ptr<KNError>& error) override {
        if (auto d = video.lock()) d->H264EncoderDidFailStartingWithError(e, error);
    }
    void H264EncoderDidFailEncodingWithError(KNH264Encoder* e, const std::shared_ptr<KNError>& error) override {
        if (auto d = video.lock()) d->H264EncoderDidFailEncodingWithError(e, error);
    }
    void AACEncoderDidEncodeDataWithDurationPresentationTime(KNAACEncoderBase* e, const Bytes& data, platform::MediaTime d,
                                                             platform::MediaTime p) override {
        {
            std::lock_guard lock(outputsMutex);
            filePacketBytes.push_back(data ? *data : std::vector<uint8_t>());
        }
        if (auto a = audio.lock()) a->AACEncoderDidEncodeDataWithDurationPresentationTime(e, data, d, p);
    }
    void AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(KNAACEncoderBase* e, const Bytes& data,
                                                                    platform::MediaTime d, uint64_t t) override {
        ++packets;
        if (auto a = audio.lock()) a->AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(e, data, d, t);
    }
    void AACEncoderDidFinishConfiguring(KNAACEncoderBase* e) override {
        if (auto a = audio.lock()) a->AACEncoderDidFinishConfiguring(e);
    }
    void AACEncoderDidFailEncodingWithError(KNAACEncoderBase* e, std::shared_ptr<KNError> error) override {
        if (auto a = audio.lock()) a->AACEncoderDidFailEncodingWithError(e, std::move(error));
    }
    std::weak_ptr<KNH264EncoderDelegate> video;
    std::weak_ptr<KNAACEncoderDelegate> audio;
    std::atomic<int64_t> frames{0};
    std::atomic<int64_t> packets{0};
    // Whether each encoded frame is a key frame, in order.
    std::vector<bool> keyFrameFlags() {
        std::lock_guard lock(outputsMutex);
        return keyFrames;
    }
    // Each AAC packet made for the file, in order.
    std::vector<std::vector<uint8_t>> filePackets() {
        std::lock_guard lock(outputsMutex);
        return filePacketBytes;
    }
    std::mutex outputsMutex;
    std::vector<bool> keyFrames;
    std::vector<std::vector<uint8_t>> filePacketBytes;
};

// The real video encoder, with every bit rate it is given written down and its output counted.
struct WatchedVideoEncoder : KNHubVideoEncoder {
    explicit WatchedVideoEncoder(std::shared_ptr<KNHubVideoEncoder> real) : real(std::move(real)) {}
    void setDelegate(std::weak_ptr<KNH264EncoderDelegate> delegate) override {
        outputs->video = std::move(delegate);
        real->setDelegate(outputs);
    }
    std::shared_ptr<platform::DispatchQueue> encodingQueue() const override { return real->encodingQueue(); }
    void setKeyFrameInterval(uint64_t frames) override { real->setKeyFrameInterval(frames); }
    void updateBitrate(int32_t bitrateBps) override {
        bitrates.add(str(bitrateBps));
        {
            std::lock_guard lock(timelineMutex);
            timeline.push_back({std::chrono::steady_clock::now(), bitrateBps});
        }
        real->updateBitrate(bitrateBps);
    }
    struct Change {
        std::chrono::steady_clock::time_point at;
        int32_t bitrateBps;
    };
    std::vector<Change> changes() {
        std::lock_guard lock(timelineMutex);
        return timeline;
    }
    void startEncodingWithResolutionHeight(int32_t width, int32_t height) override {
        real->startEncodingWithResolutionHeight(width, height);
    }
    void encode(std::shared_ptr<platform::SampleBuffer> frame) override {
        if (frame) {
            std::lock_guard lock(timelineMutex);
            captureTimes.push_back(frame->presentationTimeStamp().seconds());
        }
        real->encode(std::move(frame));
    }
    void stopEncoding() override { real->stopEncoding(); }
    // The capture time of each frame handed over, in order.
    std::vector<double> captured() {
        std::lock_guard lock(timelineMutex);
        return captureTimes;
    }
    const std::shared_ptr<KNHubVideoEncoder> real;
    const std::shared_ptr<OutputCounter> outputs = std::make_shared<OutputCounter>();
    HubLog bitrates;
    std::mutex timelineMutex;
    std::vector<Change> timeline;
    std::vector<double> captureTimes;
};

// The real audio encoder with its packets counted.
struct WatchedAudioEncoder : KNHubAudioEncoder {
    explicit WatchedAudioEncoder(std::shared_ptr<KNHubAudioEncoder> real) : real(std::move(real)) {}
    void setDelegate(std::weak_ptr<KNAACEncoderDelegate> delegate) override {
        outputs->audio = std::move(delegate);
        real->setDelegate(outputs);
    }
    std::shared_ptr<platform::DispatchQueue> encoderQueue() const override { return real->encoderQueue(); }
    void setSampleRate(uint64_t rate) override {
        sampleRate = rate;
        real->setSampleRate(rate);
    }
    void setChannelsNumber(uint64_t channels) override {
        channelCount = channels;
        real->setChannelsNumber(channels);
    }
    uint64_t bitRate() const override { return real->bitRate(); }
    void setBitRate(uint64_t bitRate) override { real->setBitRate(bitRate); }
    uint64_t sampleSize() const override { return real->sampleSize(); }
    void startEncoding() override { real->startEncoding(); }
    void stopEncoding() override { real->stopEncoding(); }
    void encodeAudioDataTimestamp(Bytes data, uint64_t timestamp) override {
        if (data) {
            std::lock_guard lock(arrivalsMutex);
            arrivalList.push_back({platform::HostClock::now(), data->size()});
        }
        real->encodeAudioDataTimestamp(std::move(data), timestamp);
    }
    // A microphone period handed over: when (host clock) and how many bytes.
    struct Arrival {
        double at;
        size_t bytes;
    };
    std::vector<Arrival> arrivals() {
        std::lock_guard lock(arrivalsMutex);
        return arrivalList;
    }
    std::atomic<uint64_t> sampleRate{0};
    std::atomic<uint64_t> channelCount{0};
    std::mutex arrivalsMutex;
    std::vector<Arrival> arrivalList;
    bool isConfigured() const override { return real->isConfigured(); }
    void setFirstAudioPacket(bool first) override { real->setFirstAudioPacket(first); }
    Bytes magicCookie() const override { return real->magicCookie(); }
    uint64_t decoderDelay() const override { return real->decoderDelay(); }
    const std::shared_ptr<KNHubAudioEncoder> real;
    const std::shared_ptr<OutputCounter> outputs = std::make_shared<OutputCounter>();
};

// The real collaborators, but a network monitor the test drives.
struct RoadComponents : KNInternalRecorderComponents {
    std::shared_ptr<KNInternalRecorderComponents> real = KNInternalRecorderComponents::current();
    std::shared_ptr<FakeReachability> reachability = std::make_shared<FakeReachability>();
    std::shared_ptr<KNHubStreamSources> makeStreamSources() override { return real->makeStreamSources(); }
    std::shared_ptr<KNHubVideoEncoder> makeVideoEncoder() override {
        videoEncoder = std::make_shared<WatchedVideoEncoder>(real->makeVideoEncoder());
        return videoEncoder;
    }
    std::shared_ptr<WatchedVideoEncoder> videoEncoder;
    std::shared_ptr<KNHubAudioEncoder> makeAudioEncoder() override {
        audioEncoder = std::make_shared<WatchedAudioEncoder>(real->makeAudioEncoder());
        return audioEncoder;
    }
    std::shared_ptr<WatchedAudioEncoder> audioEncoder;
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
    // Reads the destinations as a host refreshing its screen would, also from the last report
    // of 0 that closing the last destination makes.
    void recorderDidUpdateBitrate(KNInternalRecorder*, uint64_t kilobytes) override {
        if (auto recorder = hub.lock()) destinationsSeen += static_cast<int64_t>(recorder->streamSources().size());
        if (kilobytes > 0) ++sendingSeconds;
        if (kilobytes == 0) ++zeroReports;
    }
    std::weak_ptr<KNInternalRecorder> hub;
    std::atomic<int64_t> destinationsSeen{0};
    std::atomic<int64_t> zeroReports{0};
    void recorderDidDropPacket(KNInternalRecorder*) override {
        ++drops;
        lastDrop = std::chrono::steady_clock::now().time_since_epoch().count();
    }
    std::atomic<int64_t> lastDrop{0};  // steady clock ticks
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
// microphone's buffers are stamped with the host clock as they arrive) are counted apart. The
// stream's own millisecond times are kept: at a guessed 30 fps, camera frames stamped less than a
// frame apart would share a slot and be noted too.
void expectDecodesCleanly(const std::string& file, double audioVideoEndsWithinSeconds = 0.5) {
    const auto decode = runCommand({"ffmpeg", "-v", "error", "-i", file, "-enc_time_base", "-1", "-f", "null", "-"});
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
    EXPECT_NEAR(lastPacketTime(file, "a:0"), lastPacketTime(file, "v:0"), audioVideoEndsWithinSeconds) << file;
}

class CameraRoad : public ::testing::Test {
protected:
    virtual std::shared_ptr<TestServer> makeServer() { return TestServer::shared(); }
    virtual void configure(KNRecorderSettings&) {}
    void SetUp() override {
        server = makeServer();
        ASSERT_TRUE(server);
        hub = KNInternalRecorder::internalRecorderWithComponents(components);
        hub->setInternalRecorderDelegate(events);
        events->hub = hub;
        auto settings = KNRecorderSettings::recorderSettings();
        settings->setVideoFrameResolutionInverted(false);
        settings->setVideoOrientation(KNVideoOrientationLandscapeRight);
        configure(*settings);
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
        if (!hub) return;
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
    // Stops the recording, then the stream; the recording's file once its stop has answered YES.
    std::string stopRecordingThenStreaming() {
        HubLog stopped;
        std::string file;
        hub->stopRecordingWithCompletion([&](bool ok, auto, auto url) {
            if (ok && url) file = url->string();
            stopped.add(ok ? "YES" : "NO");
        });
        hub->stopStreaming();
        EXPECT_TRUE(runMainUntil([&] { return !stopped.entries().empty(); }));
        EXPECT_EQ(stopped.entries(), std::vector<std::string>{"YES"});
        return file;
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

}  // namespace kntest
