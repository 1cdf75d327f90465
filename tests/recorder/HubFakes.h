#pragma once
// Stand-ins for every collaborator of the pipeline hub, writing what they are asked into one shared
// log ("aac.rate 48000", "state 3", "error 80001", ...) so tests read the hub's order of work.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "core/KNMetadata.h"
#include "kestrune/KNError.h"
#include "kestrune/KNInfo.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNWarning.h"
#include "platform/RunLoop.h"
#include "recorder/KNInternalRecorder.h"
#include "recorder/KNRecorderCameraControls.h"
#include "support/TestServer.h"

namespace kntest {

class HubLog {
public:
    void add(std::string entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
    }
    std::vector<std::string> entries(const std::string& prefix = "") const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> found;
        std::ranges::copy_if(entries_, std::back_inserter(found), [&](const auto& e) { return e.rfind(prefix, 0) == 0; });
        return found;
    }
    size_t count(const std::string& entry) const { return static_cast<size_t>(std::ranges::count(entries(), entry)); }
    void clear() {
        std::lock_guard lock(mutex_);
        entries_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

using LogPtr = std::shared_ptr<HubLog>;
inline std::string str(int64_t value) { return std::to_string(value); }

// A camera frame as the capture session hands it on: NV12, every byte `fill`.
inline std::shared_ptr<platform::SampleBuffer> cameraFrame(int32_t width = 16, int32_t height = 16, uint8_t fill = 77) {
    auto image = platform::PixelBuffer::create(width, height, platform::PixelFormat::NV12VideoRange);
    for (size_t plane = 0; plane < 2; ++plane) {
        std::fill_n(image->planeData(plane), image->bytesPerRow(plane) * static_cast<size_t>(image->planeHeight(plane)), fill);
    }
    const platform::SampleTiming timing{platform::MediaTime::make(1, 30), platform::MediaTime::make(1, 30),
                                        platform::MediaTime::invalid()};
    return platform::SampleBuffer::createWithImageBuffer(std::move(image), timing);
}

struct CameraScript {
    bool takes = true;
    bool frontPresent = true;
    bool locks = true;
    bool active = true;
};

// The capture session and the camera controls the recorder finds on it.
struct FakeCapture : KNHubCaptureSession, KNRecorderCameraControls {
    explicit FakeCapture(LogPtr log) : log(std::move(log)) {}
    void setListener(std::weak_ptr<KNHubCaptureListener>, std::shared_ptr<platform::DispatchQueue>) override {}
    const void* videoOutput() const override { return this; }
    bool isRunning() const override { return running; }
    void startRunning() override {
        running = true;
        log->add("capture.start");
    }
    void stopCapture() override { running = false; }
    void removeAllInputsAndOutputs() override {}
    void setAutomaticallyConfiguresApplicationAudioSession(bool) override {}
    bool changeCamera(int64_t c, const std::function<void()>& reconfigure) override {
        log->add("capture.camera " + str(c));
        if (script.takes && reconfigure) reconfigure();
        return script.takes;
    }
    bool changeFrameRate(int64_t r, KNVideoFrameSize size) override {
        log->add("capture.frameRate " + str(r) + " at " + str(size.width) + "x" + str(size.height));
        return script.takes;
    }
    void changeSessionPreset(const std::string& preset, const std::function<void()>& reconfigure) override {
        log->add("capture.preset " + preset);
        if (reconfigure) reconfigure();
    }
    bool updateVideoOrientation(int64_t o) override {
        log->add("capture.orientation " + str(o));
        return true;
    }
    bool changeTorchMode(int64_t m) override {
        log->add("capture.torch " + str(m));
        return script.locks;
    }
    void changePreview(const std::shared_ptr<platform::View>&) override {}
    void removePreview() override { log->add("capture.removePreview"); }
    void attachTapToFocus(std::shared_ptr<CameraFocusManager>) override {}
    platform::Range getZoomRange() const override { return {1, 4}; }
    double getZoom() const override { return 2; }
    void setZoomError(double, std::shared_ptr<KNError>*) override {}
    bool isCameraPresent(int64_t camera) const override { return camera == 0 || script.frontPresent; }
    bool hasTorch() const override { return true; }
    bool isTorchModeSupported(int64_t) const override { return true; }
    bool isTorchAvailable() const override { return true; }
    bool isTorchActive() const override { return script.active; }
    TorchLevelOutcome setTorchModeOnWithLevel(float level) override {
        log->add("torch.level " + std::to_string(level));
        return {script.locks, std::nullopt};
    }
    bool isFrameRateSupported(int64_t rate) const override { return rate <= 60; }
    bool isResolutionSupported(int64_t) const override { return true; }
    std::shared_ptr<platform::CaptureDevice> currentCamera() const override { return nullptr; }
    std::shared_ptr<platform::CaptureSession> session() const override { return nullptr; }
    LogPtr log;
    CameraScript script;
    std::atomic<bool> running{false};
};

struct FakeMicrophone : KNHubAudioCapture {
    explicit FakeMicrophone(LogPtr log) : log(std::move(log)) {}
    void setListener(std::weak_ptr<KNHubCaptureListener>) override {}
    void setRunning(bool r) override { log->add("mic.running " + str(r)); }
    void endSession() override {}
    void setConfigureAudioSessionManually(bool) override {}
    uint64_t sampleRate() const override { return 48000; }
    uint64_t channels() const override { return 1; }
    LogPtr log;
};

struct FakeVideoEncoder : KNHubVideoEncoder {
    explicit FakeVideoEncoder(LogPtr log) : log(std::move(log)) {}
    void setDelegate(std::weak_ptr<KNH264EncoderDelegate>) override {}
    std::shared_ptr<platform::DispatchQueue> encodingQueue() const override { return queue; }
    void setKeyFrameInterval(uint64_t f) override { log->add("h264.keyFrameInterval " + str(int64_t(f))); }
    void updateBitrate(int32_t b) override {
        bitrate = b;
        log->add("h264.bitrate " + str(b));
    }
    void startEncodingWithResolutionHeight(int32_t w, int32_t h) override {
        encoding = true;
        log->add("h264.start " + str(w) + "x" + str(h));
    }
    void encode(std::shared_ptr<platform::SampleBuffer> frame) override {
        if (frame && frame->imageBuffer()) {
            lastWidth = frame->imageBuffer()->width();
            lastHeight = frame->imageBuffer()->height();
        }
        ++encoded;
    }
    void stopEncoding() override {
        encoding = false;
        log->add("h264.stop");
    }
    LogPtr log;
    std::atomic<bool> encoding{false};
    std::atomic<int> encoded{0};
    std::atomic<int32_t> bitrate{0};
    std::atomic<int32_t> lastWidth{0};
    std::atomic<int32_t> lastHeight{0};
    std::shared_ptr<platform::DispatchQueue> queue = platform::DispatchQueue::createSerial("fake.h264");
};

struct FakeAudioEncoder : KNHubAudioEncoder {
    explicit FakeAudioEncoder(LogPtr log) : log(std::move(log)) {}
    void setDelegate(std::weak_ptr<KNAACEncoderDelegate>) override {}
    std::shared_ptr<platform::DispatchQueue> encoderQueue() const override { return queue; }
    void setSampleRate(uint64_t r) override {
        rate = r;
        log->add("aac.rate " + str(int64_t(r)));
    }
    void setChannelsNumber(uint64_t c) override { log->add("aac.channels " + str(int64_t(c))); }
    uint64_t bitRate() const override { return 128000; }
    void setBitRate(uint64_t b) override { log->add("aac.bitrate " + str(int64_t(b))); }
    uint64_t sampleSize() const override { return 0; }
    // As the real start: it reads the rate when it runs.
    void startEncoding() override {
        encoding = true;
        log->add("aac.start at " + str(int64_t(rate.load())));
    }
    void stopEncoding() override {
        encoding = false;
        log->add("aac.stop");
    }
    void encodeAudioDataTimestamp(Bytes data, uint64_t) override {
        std::lock_guard lock(mutex);
        last = std::move(data);
        ++encoded;
    }
    Bytes lastData() {
        std::lock_guard lock(mutex);
        return last;
    }
    bool isConfigured() const override {
        if (onIsConfigured) onIsConfigured();
        return configured;
    }
    void setFirstAudioPacket(bool first) override { log->add("aac.firstPacket " + str(first)); }
    Bytes magicCookie() const override { return std::make_shared<const std::vector<uint8_t>>(2, 0x12); }
    uint64_t decoderDelay() const override { return 1024; }
    LogPtr log;
    std::shared_ptr<platform::DispatchQueue> queue = platform::DispatchQueue::createSerial("fake.aac");
    std::atomic<uint64_t> rate{44100};
    std::atomic<bool> configured{false};
    std::atomic<bool> encoding{false};
    std::atomic<int> encoded{0};
    std::mutex mutex;
    Bytes last;
    // Runs when the hub asks whether the encoder is configured: a report can land right there.
    std::function<void()> onIsConfigured;
};

// Starts answer at once unless held; held starts are answered by release().
struct FakeSaver : KNHubLocalSaver {
    explicit FakeSaver(LogPtr log) : log(std::move(log)) {}
    void setListener(std::weak_ptr<KNHubLocalSaverListener>) override {}
    bool savingEnabled() const override { return enabled; }
    bool setSavingEnabled(bool e, std::shared_ptr<KNError>*) override {
        enabled = e;
        if (onSetSavingEnabled) onSetSavingEnabled();
        return true;
    }
    bool setSavingAudioAndVideo(bool, bool, std::shared_ptr<KNError>*) override { return true; }
    bool started() const override { return isStarted; }
    void setFilename(const std::string& name) override { log->add("saver.name " + name); }
    void setVideoWidthHeight(int32_t, int32_t) override {}
    void setAudioSampleRate(uint64_t r) override { log->add("saver.rate " + str(int64_t(r))); }
    void setMagicCookie(Bytes) override {}
    void setAudioDecoderDelay(uint64_t) override {}
    void startSavingStream(StartCallback done) override {
        log->add("saver.start");
        std::lock_guard lock(mutex);
        pending.push_back(std::move(done));
        if (!hold) releaseLocked();
    }
    void release() {
        std::lock_guard lock(mutex);
        releaseLocked();
    }
    void stopSavingStream(StopCallback done) override {
        log->add("saver.stop");
        std::lock_guard lock(mutex);
        pendingStops.push_back(std::move(done));
        if (!holdStops) releaseStopsLocked();
    }
    // Lets held stops finish: until then the saver still reads as started.
    void releaseStops() {
        std::lock_guard lock(mutex);
        holdStops = false;
        releaseStopsLocked();
    }
    void releaseStopsLocked() {
        for (auto& done : pendingStops) {
            queue->async([this, done = std::move(done)] {
                isStarted = false;
                done(std::filesystem::path("rec.mp4"), nullptr);
            });
        }
        pendingStops.clear();
    }
    void writeEncodedVideo(const std::shared_ptr<platform::SampleBuffer>&) override { log->add("saver.video"); }
    void writeEncodedAudio(const Bytes&, platform::MediaTime, platform::MediaTime) override { log->add("saver.audio"); }
    void releaseLocked() {
        for (auto& done : pending) {
            queue->async([this, done = std::move(done)] {
                std::shared_ptr<KNError> error = isStarted ? KNError::errorWithCodesMessage({110003}, "Local saver already started") : nullptr;
                isStarted = true;
                done(error);
            });
        }
        pending.clear();
    }
    LogPtr log;
    std::shared_ptr<platform::DispatchQueue> queue = platform::DispatchQueue::createSerial("fake.saver");
    std::atomic<bool> enabled{false};
    std::atomic<bool> isStarted{false};
    bool hold = false;
    bool holdStops = false;
    std::mutex mutex;
    std::vector<StartCallback> pending;
    std::vector<StopCallback> pendingStops;
    std::function<void()> onSetSavingEnabled;
};

struct FakeSources : KNHubStreamSources {
    explicit FakeSources(LogPtr log) : log(std::move(log)) {}
    void setDelegate(std::weak_ptr<KNStreamSourcesManagerDelegate>) override {}
    std::shared_ptr<KNStreamSource> addSourceWithStreamInfo(std::shared_ptr<KNStreamInfo> info) override {
        auto source = KNStreamSource::create();
        source->setStreamInfo(info);
        std::lock_guard lock(mutex);
        listed.push_back(source);
        return source;
    }
    void removeSource(const std::shared_ptr<KNStreamSource>& s) override {
        log->add(std::string("sources.remove") + (isListed(s) ? " listed" : " other"));
        std::lock_guard lock(mutex);
        std::erase(listed, s);
    }
    void closeConnectionToSource(const std::shared_ptr<KNStreamSource>& s) override {
        log->add(std::string("sources.close") + (isListed(s) ? " listed" : " other"));
    }
    void establishConnectionToAllSources() override {
        if (onConnectAll) onConnectAll();
    }
    void closeConnectionOnAllSources() override { log->add("sources.closeAll"); }
    Sources streamSources() const override {
        std::lock_guard lock(mutex);
        return listed;
    }
    Sources connectedStreamSources() const override { return alreadyConnected ? streamSources() : Sources{}; }
    void setVideoSPSAndPPS(const Bytes& sps, const Bytes&) override { log->add("sources.sps " + str(int64_t(sps->size()))); }
    void sendVideoPacketIsKeyFrameTimestamp(const Bytes& p, bool k, uint64_t t) override {
        log->add("sources.video " + str(int64_t(p->size())) + " " + str(k) + " " + str(int64_t(t)));
    }
    void sendAudioPacketTimestamp(const Bytes& p, uint64_t t) override {
        log->add("sources.audio " + str(int64_t(p->size())) + " " + str(int64_t(t)));
    }
    void setAdaptiveBitRateOn(bool) override {}
    void setRtmpTimeout(uint64_t) override {}
    void setMetadata(std::shared_ptr<const KNMetadata> metadata) override { metadataSampleRate = metadata->audioSampleRate(); }
    std::atomic<int32_t> metadataSampleRate{0};
    bool isListed(const std::shared_ptr<KNStreamSource>& s) const {
        std::lock_guard lock(mutex);
        return std::ranges::find(listed, s) != listed.end();
    }
    LogPtr log;
    std::function<void()> onConnectAll;
    std::atomic<bool> alreadyConnected{false};
    mutable std::mutex mutex;
    Sources listed;
};

struct FakeReachability : KNHubReachability {
    bool isReachable() override { return reachable; }
    void startMonitoring(ChangeBlock c) override { change = std::move(c); }
    void stopMonitoring() override {}
    // On the monitor's own queue, as the platform reports.
    void report(KNNetworkStatus status) { queue->async([c = change, status] { c(status); }); }
    std::atomic<bool> reachable{true};
    ChangeBlock change;
    std::shared_ptr<platform::DispatchQueue> queue = platform::DispatchQueue::createSerial("fake.reachability");
};

struct FakeValidator : KNHubValidator {
    int64_t validateBitrate(int64_t bitrate, int64_t, std::shared_ptr<KNError>*) override { return std::min<int64_t>(bitrate, 2500000); }
    int64_t validateFrameResolution(int64_t resolution, std::shared_ptr<KNError>*) override { return resolution; }
};

struct FakeComponents : KNInternalRecorderComponents {
    LogPtr log = std::make_shared<HubLog>();
    std::shared_ptr<FakeCapture> capture = std::make_shared<FakeCapture>(log);
    std::shared_ptr<FakeMicrophone> microphone = std::make_shared<FakeMicrophone>(log);
    std::shared_ptr<FakeVideoEncoder> h264 = std::make_shared<FakeVideoEncoder>(log);
    std::shared_ptr<FakeAudioEncoder> aac = std::make_shared<FakeAudioEncoder>(log);
    std::shared_ptr<FakeSaver> saver = std::make_shared<FakeSaver>(log);
    std::shared_ptr<FakeSources> sources = std::make_shared<FakeSources>(log);
    std::shared_ptr<FakeReachability> reachability = std::make_shared<FakeReachability>();
    std::atomic<bool> idleTimerDisabled{false};

    std::shared_ptr<KNHubStreamSources> makeStreamSources() override { return sources; }
    std::shared_ptr<KNHubVideoEncoder> makeVideoEncoder() override { return h264; }
    std::shared_ptr<KNHubAudioEncoder> makeAudioEncoder() override { return aac; }
    std::shared_ptr<KNHubValidator> makeValidator() override { return std::make_shared<FakeValidator>(); }
    std::shared_ptr<KNHubLocalSaver> makeLocalSaver() override { return saver; }
    std::shared_ptr<KNHubCaptureSession> makeCaptureSession() override { return capture; }
    std::shared_ptr<KNHubAudioCapture> makeAudioCapture() override { return microphone; }
    std::shared_ptr<KNHubReachability> makeReachability() override { return reachability; }
    bool cameraAuthorized() override { return cameraAccess; }
    bool microphoneAuthorized() override { return microphoneAccess; }
    void setIdleTimerDisabled(bool disabled) override { idleTimerDisabled = disabled; }
    std::atomic<bool> cameraAccess{true};
    std::atomic<bool> microphoneAccess{true};
    std::string nameForLocalFile() override { return "rec" + str(int64_t(++names)); }
    void addVideoToLibrary(const std::filesystem::path&, std::function<void(bool, std::shared_ptr<KNError>)> done) override {
        done(true, nullptr);
    }
    std::atomic<int> names{0};
};

struct HubEvents : KNInternalRecorderDelegate {
    explicit HubEvents(LogPtr log) : log(std::move(log)) {}
    void recorderDidChangeState(KNInternalRecorder*, int64_t s) override { log->add("state " + str(s)); }
    void recorderDidReceiveInfo(KNInternalRecorder*, const std::shared_ptr<KNInfo>& i) override {
        log->add("info " + str(i->infoCodes().front()));
    }
    void recorderDidReceiveWarning(KNInternalRecorder*, const std::shared_ptr<KNWarning>& w) override {
        log->add("warning " + str(w->warningCodes().front()) + " " + w->message().value_or(""));
    }
    void recorderDidReceiveError(KNInternalRecorder*, const std::shared_ptr<KNError>& e) override {
        log->add("error " + str(e->errorCodes().front()));
    }
    void recorderDidChangeNetworkStatus(KNInternalRecorder*, int64_t s) override { log->add("network " + str(s)); }
    LogPtr log;
};

// Every answer of one completion: "YES", or "NO <code>".
struct Answers {
    KNInternalRecorder::Completion completion() {
        return [this](bool ok, std::shared_ptr<KNError> e) { log.add(ok ? "YES" : "NO " + str(e->errorCodes().front())); };
    }
    HubLog log;
};

inline bool runMainUntil(const std::function<bool()>& predicate) {
    return platform::RunLoop::main().runUntil(predicate, std::chrono::seconds(10));
}

// Runs what the main queue holds now.
inline void drainMainQueue() {
    auto drained = std::make_shared<std::atomic<bool>>(false);
    platform::DispatchQueue::main()->async([drained] { *drained = true; });
    runMainUntil([drained] { return drained->load(); });
}

class HubTest : public ::testing::Test {
protected:
    void SetUp() override {
        hub = KNInternalRecorder::internalRecorderWithComponents(fakes);
        hub->setInternalRecorderDelegate(events);
    }
    void TearDown() override {
        if (hub) hub->endSession();
        drainMainQueue();
        fakes->saver->queue->sync([] {});
    }
    std::shared_ptr<FakeComponents> fakes = std::make_shared<FakeComponents>();
    LogPtr log = fakes->log;
    std::shared_ptr<HubEvents> events = std::make_shared<HubEvents>(log);
    std::shared_ptr<KNInternalRecorder> hub;
};

}  // namespace kntest
