#pragma once
// Capture-session presets: the quality, or the fixed frame size, a capture session asks of its
// camera. High, Medium and Low leave the frame to the device; the others name it.
#include <string>

namespace platform {

using SessionPreset = std::string;

inline constexpr char kSessionPresetHigh[] = "High";
inline constexpr char kSessionPresetMedium[] = "Medium";
inline constexpr char kSessionPresetLow[] = "Low";
inline constexpr char kSessionPreset352x288[] = "352x288";
inline constexpr char kSessionPreset640x480[] = "640x480";
inline constexpr char kSessionPreset1280x720[] = "1280x720";
inline constexpr char kSessionPreset1920x1080[] = "1920x1080";

}  // namespace platform
