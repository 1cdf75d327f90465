// Letting go of a plain RTMP session whose server has closed the connection: closing writes
// (unpublish, delete stream) on the thread that lets go; the first write draws a reset, the next
// fails with EPIPE, and no SIGPIPE may reach the process from there. Through a relay in front of
// the fixture's nginx that the test closes.
#include "transport/KNLibRTMPSession.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>

#include "support/LoopbackServer.h"
#include "support/TestServer.h"

namespace {

using namespace kntest;

TEST(KNLibRTMPSessionE2E, LettingGoAfterTheServerClosedRaisesNoSIGPIPE) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    auto session = KNLibRTMPSession::create();
    ASSERT_TRUE(session);
    {
        LoopbackServer relay(AF_INET, [&](int client, const std::atomic<bool>& stopping) {
            const int upstream = LoopbackServer::connectTo(AF_INET, server->rtmpPort());
            LoopbackServer::relay(client, upstream, stopping);
            close(upstream);
        });
        const auto url = "rtmp://127.0.0.1:" + std::to_string(relay.port()) + "/live/" + uniqueName("reset");
        EXPECT_EQ(session->connect(url, 5), KNRTMPSession::ConnectStatus::Connected);
    }  // The relay closes both sides as it goes.

    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    signal(SIGPIPE, SIG_DFL);
    session.reset();
}

}  // namespace
