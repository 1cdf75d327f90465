#pragma once
// A video compression session producing H.264 (on libx264) for real-time streaming.
//
// Frames go to a worker thread of the session's own through a short queue; when the encoder falls
// behind, the oldest waiting frame is dropped and reported as a frame without data, so a live
// source never waits (a session not in real-time mode makes the caller wait instead). Output arrives on that worker thread, one sample buffer per frame: 4-byte
// length-prefixed NAL units (one slice per frame; key frames start with an access unit delimiter),
// a format description holding SPS and PPS, and the not-sync sample attachment on non-key frames.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/media/MediaStatus.h"
#include "platform/media/MediaTime.h"
#include "platform/media/PixelBuffer.h"
#include "platform/media/SampleBuffer.h"

namespace platform {

enum class CompressionProperty {
    RealTime,                 // bool: low-delay encoding, frames never wait for later ones
    AllowFrameReordering,     // bool: false means no B-frames
    ProfileLevel,             // string: kProfileLevelH264MainAutoLevel
    H264EntropyMode,          // string: kH264EntropyModeCABAC or kH264EntropyModeCAVLC
    AverageBitRate,           // int32 bits per second; may change while encoding
    DataRateLimits,           // vector<double>: pairs of (bytes, seconds); may change while encoding
    PixelTransferProperties,  // map: kPixelTransferScalingMode -> kScalingModeTrim
    MaxKeyFrameInterval,      // int32 frames; 0 means no limit
};

inline constexpr const char* kProfileLevelH264MainAutoLevel = "H264_Main_AutoLevel";
inline constexpr const char* kH264EntropyModeCABAC = "CABAC";
inline constexpr const char* kH264EntropyModeCAVLC = "CAVLC";
inline constexpr const char* kPixelTransferScalingMode = "ScalingMode";
// Fill the session's frame keeping the aspect ratio, cropping what overflows.
inline constexpr const char* kScalingModeTrim = "Trim";

using CompressionPropertyValue =
    std::variant<bool, int32_t, double, std::string, std::vector<double>, std::map<std::string, std::string>>;

// Info flags handed to the output callback.
constexpr uint32_t kEncodeInfoAsynchronous = 1u << 0;
constexpr uint32_t kEncodeInfoFrameDropped = 1u << 1;

// status 0 with a null sample buffer is a frame the session dropped.
using CompressionOutputCallback = void (*)(void* outputContext, void* frameContext, MediaStatus status,
                                           uint32_t infoFlags, std::shared_ptr<SampleBuffer> sampleBuffer);

class CompressionSession {
public:
    // Frames waiting for the worker beyond the one it encodes; more drop the oldest.
    static constexpr size_t kMaxWaitingFrames = 3;

    // Fails (null, status in *status) for a size the encoder can't take.
    static std::shared_ptr<CompressionSession> create(int32_t width, int32_t height,
                                                      CompressionOutputCallback callback, void* outputContext,
                                                      MediaStatus* status = nullptr);
    ~CompressionSession();
    CompressionSession(const CompressionSession&) = delete;
    CompressionSession& operator=(const CompressionSession&) = delete;

    int32_t width() const;
    int32_t height() const;

    // The average bit rate in force (bits per second), as last set.
    int32_t averageBitRate() const;
    // Before prepare every property can be set; afterwards only the bit rate and its limits.
    MediaStatus setProperty(CompressionProperty key, const CompressionPropertyValue& value);
    // Opens the encoder (encodeFrame does it too when needed).
    MediaStatus prepareToEncodeFrames();
    // Queues the frame; its output (or its drop) comes through the callback with frameContext.
    MediaStatus encodeFrame(std::shared_ptr<PixelBuffer> image, MediaTime presentationTimeStamp,
                            MediaTime duration, void* frameContext);
    // Returns once every frame queued before it has been delivered. Not from the output callback.
    MediaStatus completeFrames();
    // Discards waiting frames; no callback runs after it returns (from the output callback: none
    // after that callback). Every later call answers kMediaErrInvalidSession.
    void invalidate();

    struct Impl;

private:
    explicit CompressionSession(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

}  // namespace platform
