#include "transport/KNRTMPPacketBuffer.h"

#include <cstring>
#include <new>

void KNRTMPPacketBuffer::allocate(size_t sizeBytes) {
    release();
    buffer_ = std::make_unique_for_overwrite<uint8_t[]>(sizeBytes);
    sizeBytes_ = sizeBytes;
}

void KNRTMPPacketBuffer::release() {
    buffer_.reset();
    sizeBytes_ = 0;
}

RTMPPacket& KNRTMPPacketBuffer::preparePacket(size_t bodyBytes) {
    const size_t needed = kRecordAndHeaderRoomBytes + bodyBytes;
    if (!buffer_ || needed > sizeBytes_) allocate(needed);
    auto* packet = new (buffer_.get()) RTMPPacket{};
    std::memset(buffer_.get() + sizeof(RTMPPacket), 0, RTMP_MAX_HEADER_SIZE);
    packet->m_body = reinterpret_cast<char*>(body());
    packet->m_nBodySize = static_cast<uint32_t>(bodyBytes);
    return *packet;
}
