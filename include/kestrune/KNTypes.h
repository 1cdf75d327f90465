#pragma once
// The public enumerations, their display texts, and the frame-size record.
//
// Every enumeration has a fixed 64-bit underlying type, so any integer a host stores in one
// survives, and every text function takes any integer: values outside the enumeration read
// "Unknown".
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kestrune/platform/Geometry.h"

enum KNVideoOrientation : int64_t {
    KNVideoOrientationPortrait = 0,
    KNVideoOrientationPortraitUpsideDown = 1,
    KNVideoOrientationLandscapeRight = 2,
    KNVideoOrientationLandscapeLeft = 3,
    KNVideoOrientationAutorotate = 4,
};

enum KNCamera : int64_t {
    KNCameraBack = 0,
    KNCameraFront = 1,
};

enum KNTorchMode : int64_t {
    KNTorchModeOff = 0,
    KNTorchModeOn = 1,
    KNTorchModeAuto = 2,
};

enum KNRecordingMode : int64_t {
    KNRecordingModeAudioAndVideo = 0,
    KNRecordingModeAudioOnly = 1,
    KNRecordingModeVideoOnly = 2,
};

// Names a standard frame, as a rule by its pixel count; the frame size of each is in the video
// parameter tables, which give 27648 a 256 x 144 frame.
enum KNVideoFrameResolution : int64_t {
    KNVideoFrameResolutionCustom = 0,
    KNVideoFrameResolution192x144 = 27648,
    KNVideoFrameResolution320x240 = 76800,
    KNVideoFrameResolution352x288 = 101376,
    KNVideoFrameResolution426x240 = 102240,
    KNVideoFrameResolution480x360 = 172800,
    KNVideoFrameResolution640x360 = 230400,
    KNVideoFrameResolution640x480 = 307200,
    KNVideoFrameResolution854x480 = 409920,
    KNVideoFrameResolution960x540 = 518400,
    KNVideoFrameResolution1280x720 = 921600,
    KNVideoFrameResolution1920x1080 = 2073600,
    KNVideoFrameResolution2560x1440 = 3686400,
    KNVideoFrameResolution3840x2160 = 8294400,
    KNVideoFrameResolution7680x4320 = 30965760,
};

// The rate in Hz itself, e.g. KNAudioSampleRate{44100}.
enum KNAudioSampleRate : int64_t {};
// Frames per second itself, e.g. KNFrameRate{30}.
enum KNFrameRate : int64_t {};

// In pixels.
struct KNVideoFrameSize {
    int64_t width = 0;
    int64_t height = 0;
    bool operator==(const KNVideoFrameSize&) const = default;
};

// "44100 Hz".
std::string KNAudioSampleRateAsString(int64_t rate);
// "30fps".
std::string KNFrameRateAsString(int64_t rate);
// The resolution's display name, "Unknown" for a value without one.
std::string KNVideoFrameResolutionAsString(int64_t resolution);
std::string KNVideoOrientationAsString(int64_t orientation);
std::string KNCameraAsString(int64_t camera);
std::string KNRecordingModeAsString(int64_t mode);
std::string KNTorchModeAsString(int64_t mode);

// Resolution value to display name: 13 entries, the custom value 0 among them; a new map each call.
std::map<int64_t, std::string> resolutionNamesDictionary();
// The keys of resolutionNamesDictionary(), ascending.
std::vector<int64_t> KNAllResolutions();

KNVideoFrameSize KNVideoFrameSizeMake(int64_t width, int64_t height);
KNVideoFrameSize KNVideoFrameSizeRotated(KNVideoFrameSize size);
// Each dimension truncated toward zero; NaN gives 0 and values beyond 64 bits saturate.
KNVideoFrameSize KNVideoFrameSizeWithCGSize(platform::Size size);
platform::Size CGSizeWithKNVideoFrameSize(KNVideoFrameSize size);

// Posted on the main queue with no object and no user info when the microphone can't be made or
// initialised, or when it goes away while capturing (observe it on
// platform::NotificationCenter::defaultCenter()).
extern const char* const LFAudioComponentFailedToCreateNotification;
