#pragma once
// The capture layer's shared vocabulary: media types, device positions, focus, exposure and
// torch modes, video orientations (the platform's numbering) and the session's notifications.
#include <cstdint>

namespace platform {

enum class MediaType { Video, Audio };

// 0 unspecified, 1 back, 2 front.
enum class CaptureDevicePosition : int64_t { Unspecified = 0, Back = 1, Front = 2 };

enum class FocusMode : int64_t { Locked = 0, AutoFocus = 1, ContinuousAutoFocus = 2 };
enum class ExposureMode : int64_t { Locked = 0, AutoExpose = 1, ContinuousAutoExposure = 2, Custom = 3 };
enum class TorchMode : int64_t { Off = 0, On = 1, Auto = 2 };

// 1 portrait, 2 portrait upside down, 3 landscape right (the sensor's own), 4 landscape left.
enum class CaptureVideoOrientation : int64_t {
    Portrait = 1,
    PortraitUpsideDown = 2,
    LandscapeRight = 3,
    LandscapeLeft = 4,
};

// 0 not determined, 1 restricted, 2 denied, 3 authorized.
enum class AuthorizationStatus : int64_t { NotDetermined = 0, Restricted = 1, Denied = 2, Authorized = 3 };

// Posted by a capture session with the session as object, outside its locks.
inline constexpr char kCaptureSessionDidStartRunningNotification[] = "CaptureSessionDidStartRunningNotification";
inline constexpr char kCaptureSessionDidStopRunningNotification[] = "CaptureSessionDidStopRunningNotification";
// The user info holds the error under kCaptureSessionErrorKey (a CaptureError).
inline constexpr char kCaptureSessionRuntimeErrorNotification[] = "CaptureSessionRuntimeErrorNotification";
inline constexpr char kCaptureSessionErrorKey[] = "CaptureSessionErrorKey";

// Error codes of the capture layer.
inline constexpr int64_t kCaptureErrorDeviceNotAvailable = -11814;
inline constexpr int64_t kCaptureErrorDeviceLocked = -11817;
inline constexpr int64_t kCaptureErrorTorchLevelUnavailable = -11846;
inline constexpr int64_t kCaptureErrorDeviceFailed = -11800;
inline constexpr int64_t kCaptureErrorInvalidArgument = -11852;

}  // namespace platform
