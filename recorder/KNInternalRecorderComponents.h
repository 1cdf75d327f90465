#pragma once
// What the pipeline hub asks of each collaborator, and the one factory that makes them. The hub
// talks only to these faces, so tests hand it fakes; the default factory wraps the real classes.
// A factory may answer null for a collaborator this machine lacks (no camera, no microphone): the
// hub then answers as without a camera or microphone.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "encoding/KNAACEncoderDelegate.h"
#include "encoding/KNH264EncoderDelegate.h"
#include "kestrune/KNReachability.h"
#include "kestrune/KNTypes.h"
#include "platform/DispatchQueue.h"
#include "platform/Range.h"
#include "platform/media/MediaTime.h"
#include "platform/media/SampleBuffer.h"
#include "transport/KNStreamSourcesManager.h"

class CameraFocusManager;
class KNCaptureSession;
class KNError;
namespace platform {
class View;
}  // namespace platform

// Where camera frames and microphone audio arrive, and the capture side's events.
class KNHubCaptureListener {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
    virtual ~KNHubCaptureListener() = default;
    // On the queue the capture session was given; `output` tells the video output from others.
    virtual void captureOutputDidOutputSampleBuffer(const void* output,
                                                    const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) = 0;
    // 16-bit PCM at the microphone's rate, on its delivery thread.
    virtual void captureOutputAudioDataTimestamp(const Bytes& data, uint64_t timestamp) = 0;
    // The application's audio-session category changed.
    virtual void captureOutputRouteDidChange() = 0;
    virtual void captureSessionDidStartRunning() = 0;
    virtual void captureSessionDidStopRunning() = 0;
    virtual void captureSessionRuntimeError(const std::string& description) = 0;
};

class KNHubCaptureSession {
public:
    virtual ~KNHubCaptureSession() = default;
    // Frames go to `listener` on `queue`; the run/stop/error events on the posting thread.
    virtual void setListener(std::weak_ptr<KNHubCaptureListener> listener,
                             std::shared_ptr<platform::DispatchQueue> queue) = 0;
    virtual const void* videoOutput() const = 0;
    virtual bool isRunning() const = 0;
    virtual void startRunning() = 0;
    virtual void stopCapture() = 0;
    virtual void removeAllInputsAndOutputs() = 0;
    virtual void setAutomaticallyConfiguresApplicationAudioSession(bool automatic) = 0;
    // The live camera steps; each answers whether it took.
    virtual bool isCameraPresent(int64_t camera) const = 0;
    // Makes the first camera at the position the session's, in one configuration bracket that keeps
    // the session's preset (the camera's best when it lacks it) and the output's orientation, and
    // runs `reconfigure` before the commit. The camera in use is reconfigured all the same. False:
    // the input couldn't be made or was refused, and the old camera stays.
    virtual bool changeCamera(int64_t camera, const std::function<void()>& reconfigure) = 0;
    // The first 4:2:0 video-range format of exactly `size` (a camera without that size: of the
    // active format's size) whose first range covers the rate runs at that rate. False: no format
    // matched and nothing changed; a camera that can't be locked keeps its format, and the answer
    // is still true.
    virtual bool changeFrameRate(int64_t framesPerSecond, KNVideoFrameSize size) = 0;
    // The preset, or the camera's best supported one when it lacks it, in a configuration bracket
    // that also runs `reconfigure` before the commit.
    virtual void changeSessionPreset(const std::string& preset, const std::function<void()>& reconfigure) = 0;
    // The video output's orientation; the preview turns with it.
    virtual bool updateVideoOrientation(int64_t orientation) = 0;
    virtual bool changeTorchMode(int64_t mode) = 0;
    // The preview: made on first use, moved into `hostView` (null: a zero frame, no parent), its
    // orientation following the video output's; tap-to-focus, when attached, goes with it.
    virtual void changePreview(const std::shared_ptr<platform::View>& hostView) = 0;
    virtual void removePreview() = 0;
    virtual void attachTapToFocus(std::shared_ptr<CameraFocusManager> manager) = 0;
    virtual platform::Range getZoomRange() const = 0;
    virtual double getZoom() const = 0;
    virtual void setZoomError(double zoom, std::shared_ptr<KNError>* error) = 0;
    // The camera side behind this face, for the controls the recorder adds; null for a stand-in.
    virtual std::shared_ptr<KNCaptureSession> captureSessionObject() const { return nullptr; }
};

class KNHubAudioCapture {
public:
    virtual ~KNHubAudioCapture() = default;
    virtual void setListener(std::weak_ptr<KNHubCaptureListener> listener) = 0;
    virtual void setRunning(bool running) = 0;
    virtual void endSession() = 0;
    virtual void setConfigureAudioSessionManually(bool manual) = 0;
    // Returns once the audio session's changes made so far have been heard.
    virtual void settleSessionChanges() {}
    // What the microphone really delivers.
    virtual uint64_t sampleRate() const = 0;
    virtual uint64_t channels() const = 0;
};

class KNHubVideoEncoder {
public:
    virtual ~KNHubVideoEncoder() = default;
    virtual void setDelegate(std::weak_ptr<KNH264EncoderDelegate> delegate) = 0;
    // Serial; a task queued after stopEncoding() runs once the last output is out.
    virtual std::shared_ptr<platform::DispatchQueue> encodingQueue() const = 0;
    virtual void setKeyFrameInterval(uint64_t frames) = 0;
    virtual void updateBitrate(int32_t bitrateBps) = 0;
    virtual void startEncodingWithResolutionHeight(int32_t width, int32_t height) = 0;
    virtual void encode(std::shared_ptr<platform::SampleBuffer> sampleBuffer) = 0;
    virtual void stopEncoding() = 0;
};

class KNHubAudioEncoder {
public:
    using Bytes = KNAACEncoderDelegate::Bytes;
    virtual ~KNHubAudioEncoder() = default;
    virtual void setDelegate(std::weak_ptr<KNAACEncoderDelegate> delegate) = 0;
    // Serial; a task queued after stopEncoding() runs once the last packet is out.
    virtual std::shared_ptr<platform::DispatchQueue> encoderQueue() const = 0;
    virtual void setSampleRate(uint64_t rate) = 0;
    virtual void setChannelsNumber(uint64_t channels) = 0;
    virtual uint64_t bitRate() const = 0;
    virtual void setBitRate(uint64_t bitRate) = 0;
    virtual uint64_t sampleSize() const = 0;
    virtual void startEncoding() = 0;
    virtual void stopEncoding() = 0;
    virtual void encodeAudioDataTimestamp(Bytes data, uint64_t timestamp) = 0;
    virtual bool isConfigured() const = 0;
    // YES: the next chunk starts the presentation times again from zero.
    virtual void setFirstAudioPacket(bool first) = 0;
    virtual Bytes magicCookie() const = 0;
    virtual uint64_t decoderDelay() const = 0;
};

// The local saver's reports: a write failed (each may come once per failing packet).
class KNHubLocalSaverListener {
public:
    virtual ~KNHubLocalSaverListener() = default;
    virtual void localSaverDidFailWriting(const std::shared_ptr<KNError>& error) = 0;
};

class KNHubLocalSaver {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
    // Null error: started.
    using StartCallback = std::function<void(std::shared_ptr<KNError> error)>;
    using StopCallback = std::function<void(std::optional<std::filesystem::path> file, std::shared_ptr<KNError> error)>;
    virtual ~KNHubLocalSaver() = default;
    virtual void setListener(std::weak_ptr<KNHubLocalSaverListener> listener) = 0;
    virtual bool savingEnabled() const = 0;
    virtual bool setSavingEnabled(bool enabled, std::shared_ptr<KNError>* error) = 0;
    virtual bool setSavingAudioAndVideo(bool audio, bool video, std::shared_ptr<KNError>* error) = 0;
    virtual bool started() const = 0;
    virtual void setFilename(const std::string& name) = 0;
    virtual void setVideoWidthHeight(int32_t width, int32_t height) = 0;
    virtual void setAudioSampleRate(uint64_t rate) = 0;
    virtual void setMagicCookie(Bytes cookie) = 0;
    virtual void setAudioDecoderDelay(uint64_t frames) = 0;
    // Each callback is called once, on the saver's queue.
    virtual void startSavingStream(StartCallback done) = 0;
    virtual void stopSavingStream(StopCallback done) = 0;
    virtual void writeEncodedVideo(const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) = 0;
    virtual void writeEncodedAudio(const Bytes& data, platform::MediaTime duration,
                                   platform::MediaTime presentationTime) = 0;
};

// The destinations and their fan-out; its reports go to a KNStreamSourcesManagerDelegate.
class KNHubStreamSources {
public:
    using Bytes = KNStreamSource::Bytes;
    using Sources = std::vector<std::shared_ptr<KNStreamSource>>;
    virtual ~KNHubStreamSources() = default;
    virtual void setDelegate(std::weak_ptr<KNStreamSourcesManagerDelegate> delegate) = 0;
    virtual std::shared_ptr<KNStreamSource> addSourceWithStreamInfo(std::shared_ptr<KNStreamInfo> info) = 0;
    virtual void removeSource(const std::shared_ptr<KNStreamSource>& source) = 0;
    virtual void closeConnectionToSource(const std::shared_ptr<KNStreamSource>& source) = 0;
    virtual void establishConnectionToAllSources() = 0;
    virtual void closeConnectionOnAllSources() = 0;
    virtual Sources streamSources() const = 0;
    virtual Sources connectedStreamSources() const = 0;
    virtual void setVideoSPSAndPPS(const Bytes& sps, const Bytes& pps) = 0;
    virtual void sendVideoPacketIsKeyFrameTimestamp(const Bytes& packet, bool isKeyFrame, uint64_t timestampMs) = 0;
    virtual void sendAudioPacketTimestamp(const Bytes& adtsPacket, uint64_t timestampMs) = 0;
    virtual void setAdaptiveBitRateOn(bool on) = 0;
    virtual void setRtmpTimeout(uint64_t timeoutSeconds) = 0;
    virtual void setMetadata(std::shared_ptr<const KNMetadata> metadata) = 0;
};

class KNHubReachability {
public:
    using ChangeBlock = std::function<void(KNNetworkStatus status)>;
    virtual ~KNHubReachability() = default;
    virtual bool isReachable() = 0;
    // `change` runs on the monitor's own queue after every change, until stop().
    virtual void startMonitoring(ChangeBlock change) = 0;
    virtual void stopMonitoring() = 0;
};

class KNHubValidator {
public:
    virtual ~KNHubValidator() = default;
    // The bitrate (bits per second) and the resolution the device can take; `error` says what was
    // lowered, when one is given.
    virtual int64_t validateBitrate(int64_t bitrate, int64_t resolution, std::shared_ptr<KNError>* error) = 0;
    virtual int64_t validateFrameResolution(int64_t resolution, std::shared_ptr<KNError>* error) = 0;
};

class KNInternalRecorderComponents {
public:
    virtual ~KNInternalRecorderComponents() = default;
    // The process-wide factory of new hubs: the real classes unless a test installed its own.
    static std::shared_ptr<KNInternalRecorderComponents> current();
    static void setCurrentForTesting(std::shared_ptr<KNInternalRecorderComponents> components);

    virtual std::shared_ptr<KNHubStreamSources> makeStreamSources() = 0;
    virtual std::shared_ptr<KNHubVideoEncoder> makeVideoEncoder() = 0;
    virtual std::shared_ptr<KNHubAudioEncoder> makeAudioEncoder() = 0;
    virtual std::shared_ptr<KNHubValidator> makeValidator() = 0;
    virtual std::shared_ptr<KNHubLocalSaver> makeLocalSaver() = 0;
    virtual std::shared_ptr<KNHubCaptureSession> makeCaptureSession() = 0;
    virtual std::shared_ptr<KNHubAudioCapture> makeAudioCapture() = 0;
    virtual std::shared_ptr<KNHubReachability> makeReachability() = 0;

    virtual bool cameraAuthorized() = 0;
    virtual bool microphoneAuthorized() = 0;
    virtual void setIdleTimerDisabled(bool disabled) = 0;
    // The local recording's file name, from the recording's start time.
    virtual std::string nameForLocalFile() = 0;
    // Moves a finished recording into the photo library; `done` once, on any thread.
    virtual void addVideoToLibrary(const std::filesystem::path& file,
                                   std::function<void(bool success, std::shared_ptr<KNError> error)> done) = 0;
};
