// The connect step against the fixture's nginx, SOCKS4 relays and misbehaving servers that the
// tests run on loopback.
#include "transport/KNRTMPConnect.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <librtmp/log.h>
#include <librtmp/rtmp.h>

#include "support/LoopbackServer.h"
#include "support/Socks4Relay.h"
#include "support/TestServer.h"

namespace {

using namespace std::chrono_literals;
using kntest::LoopbackServer;
using kntest::Socks4Relay;
using kntest::TestServer;
using kntest::waitFor;

// The library's log, captured for the duration of a test.
class LibraryLog {
public:
    LibraryLog() : file_(std::tmpfile()) {
        RTMP_LogSetOutput(file_);
        RTMP_LogSetLevel(RTMP_LOGDEBUG);
    }
    ~LibraryLog() {
        RTMP_LogSetOutput(stderr);
        std::fclose(file_);
    }
    std::string text() {
        std::fflush(file_);
        std::string all;
        std::rewind(file_);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) all.append(buf, n);
        return all;
    }

private:
    FILE* file_;
};

// One library session set up the way the publisher sets it up, connected through our step.
class Session {
public:
    explicit Session(const std::string& url, int timeoutSeconds = 5)
        : url_(new char[url.size() + 1]), r_(RTMP_Alloc()) {
        std::memcpy(url_.get(), url.c_str(), url.size() + 1);
        RTMP_Init(r_);
        setUp_ = RTMP_SetupURL(r_, url_.get()) == 1;
        r_->Link.timeout = timeoutSeconds;
        RTMP_EnableWrite(r_);
    }
    ~Session() {
        kn::endSession(r_);
        RTMP_Free(r_);
    }
    bool connect() { return setUp_ && kn::RTMP_Connect(r_, nullptr); }
    bool publish() { return RTMP_ConnectStream(r_, 0) != 0; }
    RTMP* rtmp() { return r_; }
    int peerFamily() {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        if (getpeername(RTMP_Socket(r_), reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
        return a.ss_family;
    }

private:
    std::unique_ptr<char[]> url_;  // the library points into it
    RTMP* r_;
    bool setUp_ = false;
};

std::string uniqueStream() { return kntest::uniqueName("connect"); }

bool publishedAndLogged(const TestServer& server, const std::string& stream) {
    return waitFor([&] { return server.accessLog().find("PUBLISH \"live\" \"" + stream + "\"") != std::string::npos; },
                   10s);
}

// The first answer picks the family for good: a name that resolves to ::1 before 127.0.0.1 never
// falls back to IPv4 when nothing listens on IPv6.
TEST(KNRTMPConnectFamilies, NoFallbackFromIPv6ToIPv4) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* answer = nullptr;
    ASSERT_EQ(getaddrinfo("localhost", nullptr, &hints, &answer), 0);
    ASSERT_EQ(answer->ai_family, AF_INET6) << "the test's hosts file lists ::1 first for localhost";
    freeaddrinfo(answer);

    LoopbackServer ipv4Only(AF_INET, [](int, const std::atomic<bool>&) {});
    Session session("rtmp://localhost:" + std::to_string(ipv4Only.port()) + "/live/x");
    EXPECT_FALSE(session.connect());
    EXPECT_FALSE(RTMP_IsConnected(session.rtmp()));
    EXPECT_EQ(ipv4Only.accepted(), 0);

    Session unknown("rtmp://no-such-host.invalid/live/x");
    EXPECT_FALSE(unknown.connect());
}

TEST(KNRTMPConnectFailures, RefusedPortFailsAndLeavesNoSocket) {
    LibraryLog log;
    Session session("rtmp://127.0.0.1:" + std::to_string(LoopbackServer::unusedPort()) + "/live/x");
    EXPECT_FALSE(session.connect());
    EXPECT_EQ(RTMP_Socket(session.rtmp()), -1);
    EXPECT_NE(log.text().find("RTMP_Connect0, failed to connect socket. 111"), std::string::npos) << log.text();
}

// A server that hangs up in the middle of the handshake makes the library write to a dead
// connection; this runs on the test's main thread, where SIGPIPE would end the process.
TEST(KNRTMPConnectFailures, PeerGoneDuringHandshakeRaisesNoSignal) {
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    ASSERT_FALSE(sigismember(&mask, SIGPIPE));
    ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);

    LoopbackServer hangUp(AF_INET, [](int client, const std::atomic<bool>&) {
        std::vector<uint8_t> c0c1(1537);
        if (LoopbackServer::readExactly(client, c0c1.data(), c0c1.size()) != c0c1.size()) return;
        std::vector<uint8_t> reply(1 + 2 * 1536);
        reply[0] = 3;
        std::memcpy(&reply[1 + 1536], &c0c1[1], 1536);  // S2 echoes C1
        LoopbackServer::writeAll(client, reply.data(), reply.size());
        shutdown(client, SHUT_RDWR);
    });
    for (int round = 0; round < 5; ++round) {
        Session session("rtmp://127.0.0.1:" + std::to_string(hangUp.port()) + "/live/x");
        if (session.connect()) {
            EXPECT_FALSE(session.publish());
        }
    }
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

std::vector<uint8_t> expectedRequest(int port) {
    return {4, 1, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port & 0xff), 127, 0, 0, 1, 0};
}

// The relay's own address family picks the socket family; the request names the RTMP server by its
// IPv4 address either way. The reply may arrive in pieces.
TEST(KNRTMPConnectSocks, PublishesThroughARelay) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    struct Variant {
        int family;
        std::string relayHost;
        std::string serverHost;  // a name or a literal: the request carries its IPv4 address
        Socks4Relay::Reply reply;
    };
    // The publisher's own test goes through an IPv6 relay with a split reply.
    const Variant variants[] = {{AF_INET, "127.0.0.1", "127.0.0.1", Socks4Relay::Reply::Grant},
                                {AF_INET6, server->ipv6Host(), "localhost", Socks4Relay::Reply::Grant},
                                {AF_INET, "127.0.0.1", "localhost", Socks4Relay::Reply::GrantInTwoParts}};
    for (const auto& v : variants) {
        SCOPED_TRACE(v.relayHost + " to " + v.serverHost + (v.reply == Socks4Relay::Reply::GrantInTwoParts ? " split" : ""));
        Socks4Relay relay(v.family, v.reply);
        const auto stream = uniqueStream();
        {
            Session session(server->rtmpURL(stream, v.serverHost) + " socks=" + v.relayHost + ":" +
                            std::to_string(relay.port()));
            ASSERT_TRUE(session.connect());
            EXPECT_EQ(session.peerFamily(), v.family);
            EXPECT_TRUE(session.publish());
        }
        ASSERT_EQ(relay.requests().size(), 1u);
        EXPECT_EQ(relay.requests()[0], expectedRequest(server->rtmpPort()));
        EXPECT_TRUE(publishedAndLogged(*server, stream));
    }
}

TEST(KNRTMPConnectSocks, RefusalFailsTheConnect) {
    LibraryLog log;
    Socks4Relay relay(AF_INET, Socks4Relay::Reply::Refuse);
    Session session("rtmp://127.0.0.1:1935/live/x socks=127.0.0.1:" + std::to_string(relay.port()));
    EXPECT_FALSE(session.connect());
    EXPECT_EQ(RTMP_Socket(session.rtmp()), -1);
    const auto text = log.text();
    EXPECT_NE(text.find("SocksNegotiate, SOCKS returned error code 91"), std::string::npos) << text;
    EXPECT_NE(text.find("RTMP_Connect0, SOCKS negotiation failed."), std::string::npos) << text;

    // SOCKS4 names the destination by an IPv4 address: without one nothing is asked of the relay.
    Socks4Relay unused(AF_INET, Socks4Relay::Reply::Grant);
    Session unnamed("rtmp://no-such-host.invalid:1935/live/x socks=127.0.0.1:" + std::to_string(unused.port()));
    EXPECT_FALSE(unnamed.connect());
    EXPECT_TRUE(unused.requests().empty());
    EXPECT_NE(log.text().find("Problem accessing the DNS. (addr: no-such-host.invalid)"), std::string::npos);
}

}  // namespace
