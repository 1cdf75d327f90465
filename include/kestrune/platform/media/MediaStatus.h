#pragma once
// Status codes answered by the media layer (compression session, audio converter, buffers).
#include <cstdint>

namespace platform {

using MediaStatus = int32_t;

constexpr MediaStatus kMediaNoErr = 0;
constexpr MediaStatus kMediaErrParam = -50;
constexpr MediaStatus kMediaErrAllocationFailed = -108;
constexpr MediaStatus kMediaErrInvalidSession = -12903;
constexpr MediaStatus kMediaErrPropertyNotSupported = -12900;
constexpr MediaStatus kMediaErrPropertyValueRejected = -12904;
constexpr MediaStatus kMediaErrEncoderFailed = -12911;
constexpr MediaStatus kMediaErrNoData = -12737;
constexpr MediaStatus kMediaErrBadIndex = -12710;

// A four-character code as the platform writes them: 'avc1', '420v', 'aac '.
constexpr uint32_t fourCC(const char (&code)[5]) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(code[0])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(code[3]));
}

}  // namespace platform
