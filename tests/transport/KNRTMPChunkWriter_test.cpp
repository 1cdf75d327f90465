// The gathered writer against the library's own send: two library sessions each write the same
// packets into a packet socket pair, one through the writer. Every system call is one message on
// the other end, so the messages show how many writes went and their bytes what went.
#include "transport/KNRTMPChunkWriter.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

struct Packet {
    uint8_t type;
    uint8_t headerType;
    uint32_t bodyBytes;
    uint32_t timestamp;
};

struct Wire {
    std::string bytes;
    size_t writes = 0;
};

class Session {
public:
    explicit Session(int chunkBytes) : rtmp_(RTMP_Alloc()) {
        RTMP_Init(rtmp_);
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds_);
        rtmp_->m_sb.sb_socket = fds_[0];
        rtmp_->m_outChunkSize = chunkBytes;
    }
    ~Session() {
        RTMP_Close(rtmp_);  // closes fds_[0]
        RTMP_Free(rtmp_);
        close(fds_[1]);
    }

    // Sends through the writer when `gathered` (the library when the writer leaves it), then
    // collects what arrived.
    bool send(const Packet& p, bool gathered) {
        std::vector<char> buffer(RTMP_MAX_HEADER_SIZE + p.bodyBytes);
        for (size_t i = RTMP_MAX_HEADER_SIZE; i < buffer.size(); ++i) buffer[i] = static_cast<char>(i * 7 + p.timestamp);
        RTMPPacket packet{};
        packet.m_body = buffer.data() + RTMP_MAX_HEADER_SIZE;
        packet.m_nBodySize = p.bodyBytes;
        packet.m_packetType = p.type;
        packet.m_headerType = p.headerType;
        packet.m_nChannel = 0x04;
        packet.m_nTimeStamp = p.timestamp;
        packet.m_nInfoField2 = 1;
        auto result = gathered ? KNRTMPChunkWriter::send(rtmp_, packet) : KNRTMPChunkWriter::Result::NotHandled;
        if (result == KNRTMPChunkWriter::Result::NotHandled) {
            result = RTMP_SendPacket(rtmp_, &packet, 0) ? KNRTMPChunkWriter::Result::Sent
                                                          : KNRTMPChunkWriter::Result::Failed;
        }
        std::vector<char> message(1 << 17);
        for (ssize_t n; (n = recv(fds_[1], message.data(), message.size(), MSG_DONTWAIT)) > 0;) {
            wire.bytes.append(message.data(), static_cast<size_t>(n));
            ++wire.writes;
        }
        return result == KNRTMPChunkWriter::Result::Sent;
    }

    Wire wire;

private:
    RTMP* rtmp_;
    int fds_[2] = {-1, -1};
};

constexpr uint8_t kVideo = RTMP_PACKET_TYPE_VIDEO;
constexpr uint8_t kAudio = RTMP_PACKET_TYPE_AUDIO;
constexpr uint8_t kLarge = RTMP_PACKET_SIZE_LARGE;
constexpr uint8_t kMedium = RTMP_PACKET_SIZE_MEDIUM;

struct Row {
    const char* name;
    int chunkBytes;
    std::vector<Packet> packets;  // the first is the library's own (it sets the channel up)
    bool oneWriteEach;            // false where the writer leaves packets to the library
};

const Row kRows[] = {
    {"one chunk each, headers compressed as the library does",
     4096,
     {{kVideo, kLarge, 40, 0}, {kAudio, kMedium, 300, 23}, {kAudio, kMedium, 300, 46}, {kAudio, kMedium, 300, 46},
      {kAudio, kMedium, 301, 46}, {kVideo, kLarge, 900, 33}, {kAudio, kMedium, 300, 69}},
     true},
    {"bodies across chunk boundaries",
     4096,
     {{kVideo, kLarge, 40, 0}, {kVideo, kLarge, 4095, 33}, {kVideo, kLarge, 4096, 66}, {kVideo, kLarge, 4097, 99},
      {kVideo, kLarge, 20000, 133}, {kAudio, kMedium, 8192, 150}, {kAudio, kMedium, 8192, 170}},
     true},
    {"the library's default chunk size",
     128,
     {{kVideo, kLarge, 40, 0}, {kVideo, kLarge, 1000, 33}, {kAudio, kMedium, 129, 40}, {kAudio, kMedium, 129, 40}},
     true},
    {"empty bodies",
     4096,
     {{kVideo, kLarge, 40, 0}, {kVideo, kLarge, 0, 33}, {kAudio, kMedium, 0, 34}},
     true},
    {"timestamps past 24 bits stay with the library",
     4096,
     {{kVideo, kLarge, 40, 0}, {kVideo, kLarge, 5000, 0x1000000}, {kAudio, kMedium, 300, 0x1000010},
      {kVideo, kLarge, 5000, 33}},
     false},
};

TEST(KNRTMPChunkWriter, PutsTheLibrarysBytesOnTheWireInOneWritePerPacket) {
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.name);
        Session library(row.chunkBytes);
        Session gathered(row.chunkBytes);
        for (size_t i = 0; i < row.packets.size(); ++i) {
            EXPECT_TRUE(library.send(row.packets[i], false));
            EXPECT_TRUE(gathered.send(row.packets[i], i > 0));
        }
        EXPECT_EQ(gathered.wire.bytes, library.wire.bytes);
        if (row.oneWriteEach) {
            EXPECT_EQ(gathered.wire.writes, row.packets.size());
        }
    }
}

}  // namespace
