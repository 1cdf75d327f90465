#pragma once
// The camera recorder's configuration. A plain record the host builds (or restores from an archive)
// and hands to the recorder, which shares this very object with its pipeline and writes a field
// back after each successful live change. Every field may be read and written from any thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "kestrune/KNTypes.h"

namespace platform {
class KeyedArchiver;
class KeyedUnarchiver;
}  // namespace platform

// Frames between key frames in a new settings object.
extern const int64_t kKNRecorderSettingsDefaultKeyFrameInterval;

class KNRecorderSettings {
public:
    // A new object with the defaults: audio and video, torch off, autorotate, back camera, 30 fps,
    // 45 frames between key frames, the audio session's rate, 1280x720 inverted, 1.7 Mbit/s.
    static std::shared_ptr<KNRecorderSettings> recorderSettings();
    // The defaults, then `resolution` (a resolution value, not a size) and its optimal bitrate.
    static std::shared_ptr<KNRecorderSettings> recorderSettingsWithVideoFrameSize(int64_t resolution);
    // Null for bytes that are not an archive of this class.
    static std::shared_ptr<KNRecorderSettings> recorderSettingsWithArchivedData(std::span<const uint8_t> data);

    KNRecorderSettings(const KNRecorderSettings&) = delete;
    KNRecorderSettings& operator=(const KNRecorderSettings&) = delete;

    int64_t recordingMode() const { return recordingMode_.load(); }
    void setRecordingMode(int64_t mode) { recordingMode_.store(mode); }
    int64_t torchMode() const { return torchMode_.load(); }
    void setTorchMode(int64_t mode) { torchMode_.store(mode); }
    int64_t videoOrientation() const { return videoOrientation_.load(); }
    void setVideoOrientation(int64_t orientation) { videoOrientation_.store(orientation); }
    int64_t currentCamera() const { return currentCamera_.load(); }
    void setCurrentCamera(int64_t camera) { currentCamera_.store(camera); }
    int64_t frameRate() const { return frameRate_.load(); }
    void setFrameRate(int64_t rate) { frameRate_.store(rate); }
    int64_t keyFrameInterval() const { return keyFrameInterval_.load(); }
    void setKeyFrameInterval(int64_t frames) { keyFrameInterval_.store(frames); }
    // Hz.
    int64_t audioSampleRate() const { return audioSampleRate_.load(); }
    void setAudioSampleRate(int64_t rate) { audioSampleRate_.store(rate); }
    // Bits per second.
    int64_t videoBitrate() const { return videoBitrate_.load(); }
    void setVideoBitrate(int64_t bitrate) { videoBitrate_.store(bitrate); }

    // Setting a resolution other than 0 (custom) also sets its table frame size; 0 keeps the size.
    int64_t videoFrameResolution() const;
    void setVideoFrameResolution(int64_t resolution);
    // Landscape (width the larger); setting it leaves the resolution alone.
    KNVideoFrameSize videoFrameSize() const;
    void setVideoFrameSize(KNVideoFrameSize size);
    // The size first, then resolution 0, so the custom size stays.
    void useCustomVideoFrameSize(KNVideoFrameSize size);
    void updateDefaultVideoBitrate();
    void updateDefaultVideoSize();

    // Consumers swap width and height (portrait); the stored size stays as it is.
    bool videoFrameResolutionInverted() const { return videoFrameResolutionInverted_.load(); }
    void setVideoFrameResolutionInverted(bool inverted) { videoFrameResolutionInverted_.store(inverted); }
    bool configureAudioSessionManually() const { return configureAudioSessionManually_.load(); }
    void setConfigureAudioSessionManually(bool manual) { configureAudioSessionManually_.store(manual); }
    bool exportLocalVideoToAssetLibrary() const { return exportLocalVideoToAssetLibrary_.load(); }
    void setExportLocalVideoToAssetLibrary(bool exportToLibrary) { exportLocalVideoToAssetLibrary_.store(exportToLibrary); }

    bool isRecordingAudio() const;
    bool isRecordingVideo() const;
    // Always 1280x720's value.
    int64_t getVideoResolutionForCurrentScreen() const;
    // Nothing sets it: always 0.
    int64_t getVideoOrientationForCurrentInterfaceOrientation() const { return 0; }

    // The two switches are not archived.
    std::vector<uint8_t> archivedSettings() const;
    static bool supportsSecureCoding() { return true; }
    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // No defaults are taken: a missing key reads 0 or NO. Null for an archive of another class.
    static std::shared_ptr<KNRecorderSettings> createWithCoder(const platform::KeyedUnarchiver& coder);

    // Test hook, process-wide: where new objects read the audio session's rate (Hz, truncated).
    static void setAudioSessionSampleRateSourceForTesting(std::function<double()> source);

private:
    KNRecorderSettings() = default;
    void setupDefaults();

    std::atomic<int64_t> recordingMode_{0};
    std::atomic<int64_t> torchMode_{0};
    std::atomic<int64_t> videoOrientation_{0};
    std::atomic<int64_t> currentCamera_{0};
    std::atomic<int64_t> frameRate_{0};
    std::atomic<int64_t> keyFrameInterval_{0};
    std::atomic<int64_t> audioSampleRate_{0};
    std::atomic<int64_t> videoBitrate_{0};
    std::atomic<bool> videoFrameResolutionInverted_{false};
    std::atomic<bool> configureAudioSessionManually_{false};
    std::atomic<bool> exportLocalVideoToAssetLibrary_{false};

    // The resolution and its size change together.
    mutable std::mutex sizeMutex_;
    int64_t videoFrameResolution_ = 0;
    KNVideoFrameSize videoFrameSize_{};
};
