#pragma once
// The one reused allocation a publisher writes media packets into: the library's packet record,
// the room the library writes chunk headers into, then the body. The library writes into the
// body too (continuation headers), so it must stay private to the publisher.
#include <cstddef>
#include <cstdint>
#include <memory>

#include <librtmp/rtmp.h>

class KNRTMPPacketBuffer {
public:
    static constexpr size_t kRecordAndHeaderRoomBytes = sizeof(RTMPPacket) + RTMP_MAX_HEADER_SIZE;

    // Releases what was there and allocates exactly `sizeBytes`.
    void allocate(size_t sizeBytes);
    void release();
    size_t sizeBytes() const { return sizeBytes_; }

    // A cleared packet record whose body has room for `bodyBytes`; grows to the exact size
    // needed, never shrinks.
    RTMPPacket& preparePacket(size_t bodyBytes);
    uint8_t* body() { return buffer_.get() + kRecordAndHeaderRoomBytes; }

private:
    std::unique_ptr<uint8_t[]> buffer_;
    size_t sizeBytes_ = 0;
};
