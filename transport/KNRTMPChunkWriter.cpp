#include "transport/KNRTMPChunkWriter.h"

#include <limits.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <librtmp/log.h>

#include "transport/KNTLSTunnel.h"

namespace {

constexpr int kHeaderBytes[4] = {12, 8, 4, 1};  // by header type: large, medium, small, minimum
constexpr uint32_t kExtendedTimestamp = 0xffffff;

void putInt24(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 16);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value);
}

// Writes every byte the vectors hold, through partial writes; false when the socket fails.
bool writeAll(int fd, std::vector<iovec>& vectors) {
    size_t first = 0;
    while (first < vectors.size()) {
        msghdr message{};
        message.msg_iov = vectors.data() + first;
        message.msg_iovlen = std::min<size_t>(vectors.size() - first, IOV_MAX);
        const ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        for (size_t left = static_cast<size_t>(n); left > 0;) {
            iovec& v = vectors[first];
            const size_t taken = std::min(left, v.iov_len);
            v.iov_base = static_cast<uint8_t*>(v.iov_base) + taken;
            v.iov_len -= taken;
            left -= taken;
            if (v.iov_len == 0) ++first;
        }
    }
    return true;
}

}  // namespace

KNRTMPChunkWriter::Result KNRTMPChunkWriter::send(RTMP* r, RTMPPacket& packet) {
    const int channel = packet.m_nChannel;
    const bool media = packet.m_packetType == RTMP_PACKET_TYPE_AUDIO || packet.m_packetType == RTMP_PACKET_TYPE_VIDEO;
    // Links the library encrypts or tunnels itself go through its own writer; so does a channel
    // whose header takes more than one byte or that the library has not set up yet. TLS is ours.
    if (!media || r->m_sb.sb_socket < 0 || r->Link.rc4keyOut ||
        (r->Link.protocol & (RTMP_FEATURE_HTTP | RTMP_FEATURE_ENC)) || channel < 2 || channel > 63 ||
        channel >= r->m_channelsAllocatedOut || packet.m_headerType > RTMP_PACKET_SIZE_MINIMUM ||
        r->m_outChunkSize <= 0) {
        return Result::NotHandled;
    }

    // The library's header compression against the channel's last packet.
    uint8_t headerType = packet.m_headerType;
    uint32_t last = 0;
    const RTMPPacket* previous = r->m_vecChannelsOut[channel];
    if (previous && headerType != RTMP_PACKET_SIZE_LARGE) {
        if (previous->m_nBodySize == packet.m_nBodySize && previous->m_packetType == packet.m_packetType &&
            headerType == RTMP_PACKET_SIZE_MEDIUM) {
            headerType = RTMP_PACKET_SIZE_SMALL;
        }
        if (previous->m_nTimeStamp == packet.m_nTimeStamp && headerType == RTMP_PACKET_SIZE_SMALL) {
            headerType = RTMP_PACKET_SIZE_MINIMUM;
        }
        last = previous->m_nTimeStamp;
    }
    const uint32_t delta = packet.m_nTimeStamp - last;
    if (delta >= kExtendedTimestamp) return Result::NotHandled;  // rare: the library adds 4 bytes per chunk

    uint8_t header[12];
    const int headerBytes = kHeaderBytes[headerType];
    header[0] = static_cast<uint8_t>((headerType << 6) | channel);
    if (headerBytes > 1) putInt24(header + 1, delta);
    if (headerBytes > 4) {
        putInt24(header + 4, packet.m_nBodySize);
        header[7] = packet.m_packetType;
    }
    if (headerBytes > 8) {
        const auto stream = static_cast<uint32_t>(packet.m_nInfoField2);
        for (int i = 0; i < 4; ++i) header[8 + i] = static_cast<uint8_t>(stream >> (8 * i));
    }
    uint8_t continuation = static_cast<uint8_t>(0xc0 | channel);

    const size_t chunk = static_cast<size_t>(r->m_outChunkSize);
    const size_t size = packet.m_nBodySize;
    std::vector<iovec> vectors;
    vectors.reserve(2 * (size / chunk + 1));
    vectors.push_back({header, static_cast<size_t>(headerBytes)});
    for (size_t at = 0; at < size; at += chunk) {
        if (at > 0) vectors.push_back({&continuation, 1});
        vectors.push_back({packet.m_body + at, std::min(chunk, size - at)});
    }
    const bool written = r->m_sb.sb_ssl
                             ? KNTLSTunnel::ofHandedOver(r->m_sb.sb_ssl)->writeHandedOver(vectors.data(), vectors.size())
                             : writeAll(r->m_sb.sb_socket, vectors);
    if (!written) {
        RTMP_Log(RTMP_LOGERROR, "%s, RTMP send error %d (%zu bytes)", __FUNCTION__, errno, size);
        RTMP_Close(r);
        return Result::Failed;
    }

    packet.m_headerType = headerType;
    if (!r->m_vecChannelsOut[channel]) {
        r->m_vecChannelsOut[channel] = static_cast<RTMPPacket*>(std::malloc(sizeof(RTMPPacket)));
        if (!r->m_vecChannelsOut[channel]) return Result::Sent;
    }
    std::memcpy(r->m_vecChannelsOut[channel], &packet, sizeof(RTMPPacket));
    return Result::Sent;
}
