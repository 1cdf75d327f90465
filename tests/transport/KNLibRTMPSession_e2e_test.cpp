// Letting go of a plain RTMP session whose server has closed the connection: closing writes
// (unpublish, delete stream) on the thread that lets go; the first write draws a reset, the next
// fails with EPIPE, and no SIGPIPE may reach the process from there. Through a relay in front of
// the fixture's nginx that the test closes.
#include "transport/KNLibRTMPSession.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/LoopbackServer.h"
#include "support/TestServer.h"

namespace {

using namespace kntest;

TEST(KNLibRTMPSessionE2E, LettingGoAfterTheServerClosedRaisesNoSIGPIPE) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

    std::atomic<bool> cut{false};
    std::atomic<bool> closed{false};
    std::thread relay([&] {
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        const int upstream = LoopbackServer::connectTo(AF_INET, server->rtmpPort());
        LoopbackServer::relay(client, upstream, cut);
        close(client);
        close(upstream);
        closed = true;
    });

    auto session = KNLibRTMPSession::create();
    ASSERT_TRUE(session);
    const auto url = "rtmp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/live/" + uniqueName("reset");
    EXPECT_EQ(session->connect(url, 5), KNRTMPSession::ConnectStatus::Connected);
    cut = true;
    relay.join();
    close(listener);
    ASSERT_TRUE(closed);

    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    signal(SIGPIPE, SIG_DFL);
    session.reset();
    SUCCEED();
}

}  // namespace
