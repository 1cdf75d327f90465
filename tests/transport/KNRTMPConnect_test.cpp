// The connect step on its own, with no deadline over it: the link time-out alone bounds a TCP
// connect that is never answered.
#include "transport/KNRTMPConnect.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "support/FullListener.h"

namespace {

using namespace std::chrono_literals;
using kntest::FullListener;

// The socket connect's own wait, on a socket with nothing else to bound it (the kernel alone would
// retry the SYN for minutes), and the whole step with the link time-out.
TEST(KNRTMPConnect, AnUnansweredConnectEndsAtItsTimeOut) {
    FullListener full;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(full.port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const int64_t timeoutMs : {300, 1200}) {
        SCOPED_TRACE(timeoutMs);
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(kn::connectWithin(fd, reinterpret_cast<sockaddr*>(&address), sizeof address, timeoutMs), ETIMEDOUT);
        const auto took = std::chrono::steady_clock::now() - start;
        close(fd);
        EXPECT_GT(took, std::chrono::milliseconds(timeoutMs) - 50ms) << (took / 1ms) << " ms";
        EXPECT_LT(took, std::chrono::milliseconds(timeoutMs) + 2s) << (took / 1ms) << " ms";
    }

    RTMP* rtmp = RTMP_Alloc();
    RTMP_Init(rtmp);
    std::string url = "rtmp://127.0.0.1:" + std::to_string(full.port) + "/live/x";
    ASSERT_TRUE(RTMP_SetupURL(rtmp, url.data()));
    rtmp->Link.timeout = 2;
    RTMP_EnableWrite(rtmp);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(kn::RTMP_Connect(rtmp, nullptr));
    const auto took = std::chrono::steady_clock::now() - start;
    kn::endSession(rtmp, nullptr);
    RTMP_Free(rtmp);
    EXPECT_GT(took, 2s - 100ms) << (took / 1ms) << " ms";
    EXPECT_LT(took, 5s) << (took / 1ms) << " ms";
}

}  // namespace
