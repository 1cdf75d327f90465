#pragma once
// H.264 profile-level names, as a video settings dictionary carries them.
#include <string>

namespace platform {

using VideoProfileLevel = std::string;

inline constexpr char kVideoProfileLevelH264Baseline30[] = "H264_Baseline_3_0";
inline constexpr char kVideoProfileLevelH264Baseline31[] = "H264_Baseline_3_1";
inline constexpr char kVideoProfileLevelH264Baseline41[] = "H264_Baseline_4_1";
inline constexpr char kVideoProfileLevelH264BaselineAutoLevel[] = "H264_Baseline_AutoLevel";

}  // namespace platform
