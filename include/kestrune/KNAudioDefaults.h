#pragma once
// Default audio encoding of the camera recorder (first set) and of the push streamer (second set).
#include <cstdint>

inline constexpr uint64_t kKNAudioSampleRate = 48000;  // Hz
inline constexpr uint64_t kKNAudioBitRate = 128000;    // bits per second
inline constexpr uint64_t kKNAudioChannels = 1;

inline constexpr uint64_t kKNAudioSampleRate2 = 44100;  // Hz
inline constexpr uint64_t kKNAudioBitRate2 = 128000;    // bits per second
inline constexpr uint64_t kKNAudioChannels2 = 1;
