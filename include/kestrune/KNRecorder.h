#pragma once
// The camera recorder: the host's way into the camera road. It owns the pipeline (camera,
// microphone, encoders, destinations, local recording), hands every request to it and every report
// of it to the host's KNRecorderDelegate, and adds a stream-time and a recording-time ticker and
// following of the status-bar orientation.
//
// The host calls everything on its main thread, the thread that drains KNMainLoop (claimed with
// KNMainLoop::claimForHost()).
// Completions run synchronously on the caller's thread unless said otherwise.
//
// Lifetime: the pipeline stays alive process-wide after the host lets go of the recorder (with the
// microphone running) until endSession() is called.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "kestrune/KNImage.h"
#include "kestrune/KNRecorderDelegate.h"
#include "kestrune/KNRecorderState.h"
#include "kestrune/platform/Range.h"
#include "kestrune/platform/capture/CaptureDevice.h"

class KNError;
class KNInternalRecorder;
class KNRecorderSettings;
class KNRecorderTimer;
class KNStreamInfo;
class KNStreamSource;

namespace platform {
class CaptureSession;
class View;
}  // namespace platform

class KNRecorder : public std::enable_shared_from_this<KNRecorder> {
public:
    using Completion = std::function<void(bool success, std::shared_ptr<KNError> error)>;
    using StopRecordingCompletion =
        std::function<void(bool success, std::shared_ptr<KNError> error, std::optional<std::filesystem::path> file)>;
    using SnapshotCompletion = std::function<void(std::shared_ptr<KNImage> image, std::shared_ptr<KNError> error)>;
    using FrameRateCompletion = std::function<void(int64_t frameRate)>;

    // Default destination and settings; does not follow the status bar.
    static std::shared_ptr<KNRecorder> create();
    // Follows the status bar while the settings' video orientation is 4 (autorotate).
    static std::shared_ptr<KNRecorder> recorderWithStreamInfo(std::shared_ptr<KNStreamInfo> info,
                                                              std::shared_ptr<KNRecorderSettings> settings);
    ~KNRecorder();
    KNRecorder(const KNRecorder&) = delete;
    KNRecorder& operator=(const KNRecorder&) = delete;

    std::shared_ptr<KNRecorderDelegate> recorderDelegate() const;
    void setRecorderDelegate(std::weak_ptr<KNRecorderDelegate> delegate);
    std::shared_ptr<KNRecorderSettings> settings() const;
    std::shared_ptr<KNStreamInfo> info() const;
    // The state as last reported to the delegate; 0 until prepareToRecord().
    KNRecorderState state() const { return static_cast<KNRecorderState>(state_.load()); }
    // Kilobytes sent in the last second over all destinations, as last reported.
    uint64_t currentBitrate() const { return currentBitrate_.load(); }

    // Keeps the view the camera preview goes into at prepareToRecord(); answers the recorder.
    std::shared_ptr<KNRecorder> setupWithView(std::shared_ptr<platform::View> view);
    // Preview into the view, the destination, the settings, then the camera starts.
    void prepareToRecord();
    // Refusals (11004 no network, 11005 already active) at once; otherwise on the main queue when
    // the first destination connects (YES) or one fails before any did (80001).
    void startStreaming(Completion completion = {});
    void stopStreaming();
    // The completion is the local saver's (its queue); the recording ticker starts whatever the outcome.
    void startRecording(Completion completion = {});
    void stopRecording(StopRecordingCompletion completion = {});
    // From the next camera frame, on the video encoder's queue; 1002 at once without camera access.
    void takeSnapshot(SnapshotCompletion completion);
    void endSession();

    // The pipeline is starting, streaming or stopping.
    bool isActive() const;
    // Both mean the reported state is not 0: a local recording alone leaves them false.
    bool isRecording() const { return state() != KNRecorderStateIdle; }
    bool isStreaming() const { return state() != KNRecorderStateIdle; }
    bool hasInternetConnection() const;
    bool hasMicrophoneAccess() const;
    bool hasCameraAccess() const;

    // Re-sends a report to the delegate.
    void forwardInfo(const std::shared_ptr<KNInfo>& info);
    void forwardWarning(const std::shared_ptr<KNWarning>& warning);
    void forwardError(const std::shared_ptr<KNError>& error);

    // --- The first destination.
    // Refused while not idle: (NO, 0 "Operation not allowed while streaming."), after the warning.
    void changeStreamInfo(std::shared_ptr<KNStreamInfo> info, Completion completion = {});

    // --- The camera and its session; null without a camera or after endSession(). The camera's
    // capabilities: kestrune/KNCaptureDeviceCapabilities.h.
    std::shared_ptr<platform::CaptureDevice> currentCamera() const;
    std::shared_ptr<platform::CaptureSession> currentSession() const;

    // --- Extra features.
    void activateFeatureAdaptiveBitRate(std::shared_ptr<KNError>* error = nullptr);
    // Bits per second adaptive bitrate last gave the video encoder; 0 before its first choice.
    int64_t adaptiveVideoBitrate() const;
    void deactivateFeatureAdaptiveBitRate();
    void activateFeatureSaveLocally(std::shared_ptr<KNError>* error = nullptr);
    void deactivateFeatureSaveLocally(std::shared_ptr<KNError>* error = nullptr);
    // Every destination, the first one included.
    std::vector<std::shared_ptr<KNStreamSource>> streamSources() const;
    std::shared_ptr<KNStreamSource> addStreamingSource(std::shared_ptr<KNStreamInfo> info);
    // Closes that destination's connection and forgets it.
    void removeStreamingSource(const std::shared_ptr<KNStreamSource>& source);
    // Taps on the preview focus and expose there; a long press locks both.
    void activateFeatureTapToFocus(Completion completion = {});
    void deactivateFeatureTapToFocus();

    // --- Live controls. Refused while not idle: the whole settings (0), the resolution (6001),
    // the inversion (11005), the key-frame interval (4001) and the audio sample rate (5002).
    // A setting is written into settings() when its change succeeds.
    void changeRecorderSettings(std::shared_ptr<KNRecorderSettings> settings, Completion completion = {});
    bool isRecordingModeSupported(int64_t mode) const;
    // 1001/1002: no microphone/camera access; 90001: the local saver refused the tracks.
    void changeRecordingMode(int64_t mode, Completion completion = {});
    bool isCameraPresent(int64_t camera) const;
    // 2001: no camera there; 2002: it can't be used (the old one keeps running).
    void switchToCamera(int64_t camera, Completion completion = {});
    bool isTorchModeSupported(int64_t mode) const;
    // 3002: no torch; 3001 and/or 3002: mode unsupported, torch unavailable; 3001: the camera can't be locked.
    void changeTorchMode(int64_t mode, Completion completion = {});
    // The level is clamped to [0.01, 1] (NaN gives 0.01). 0 "Torch is not active."; 3003: the level
    // is unavailable or the camera can't be locked; -1: refused otherwise.
    void changeTorchLevel(float level, Completion completion = {});
    bool isFrameSizeSupported(int64_t resolution) const;
    bool isResolutionSupported(int64_t resolution) const;
    void changeVideoResolution(int64_t resolution, Completion completion = {});
    // Writes null into `error` on success; the settings' inversion flag is not changed.
    void changeResolutionInversion(bool inverted, std::shared_ptr<KNError>* error = nullptr);
    bool isFrameRateSupported(int64_t frameRate) const;
    // The completion gets the rate in force: the old one when the camera can't take the new one.
    void changeFrameRate(int64_t frameRate, FrameRateCompletion completion = {});
    void changeKeyFrameInterval(int64_t interval, Completion completion = {});
    // Bits per second; reaches a running encoder at once.
    void changeVideoBitrate(int64_t bitrate, Completion completion = {});
    void changeAudioSampleRate(int64_t sampleRate, Completion completion = {});
    [[deprecated("does nothing and never calls its completion")]] void changeAudioBitrate(int64_t bitrate,
                                                                                          Completion completion = {});
    // Stored at once; 4 follows the status bar.
    void changeVideoOrientation(int64_t orientation);
    platform::Range getZoomRange() const;
    double getZoom() const;
    // 2002 "Could not set camera zoom" without a camera or when it can't be locked.
    bool setZoom(double factor, std::shared_ptr<KNError>* error = nullptr);

    // Test hook: the recorder with a given pipeline.
    static std::shared_ptr<KNRecorder> createWithInternalRecorder(std::shared_ptr<KNInternalRecorder> hub);

private:
    class HubEvents;
    explicit KNRecorder(std::shared_ptr<KNInternalRecorder> hub);
    void subscribeToStatusBarOrientationNotifications();
    void unsubscribeFromStatusBarOrientationNotifications();
    void statusBarWillChangeOrientation(int64_t interfaceOrientation);
    void startTimer();
    void startRecordingTimer();
    Completion writingSetting(Completion completion, std::function<void(KNRecorderSettings&)> write);

    const std::shared_ptr<KNInternalRecorder> internalRecorder_;
    const std::shared_ptr<KNRecorderTimer> timer_;
    const std::shared_ptr<KNRecorderTimer> recordingTimer_;
    std::shared_ptr<HubEvents> hubEvents_;
    std::atomic<int64_t> state_{KNRecorderStateIdle};
    std::atomic<uint64_t> currentBitrate_{0};
    std::atomic<uint64_t> willChangeObserver_{0};
    std::atomic<uint64_t> didChangeObserver_{0};

    mutable std::mutex mutex_;
    std::weak_ptr<KNRecorderDelegate> delegate_;
    std::shared_ptr<KNRecorderSettings> settings_;
    std::shared_ptr<KNStreamInfo> info_;
    std::shared_ptr<platform::View> view_;
    std::shared_ptr<void> bitrateService_;
};
