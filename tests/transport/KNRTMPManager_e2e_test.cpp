// The publisher against real nginx servers: the fixture's, over every route in, and ones of its own
// that the tests stall and kill; and its connect step against a peer that hangs up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>

#include "KNRTMPSessionStandIn.h"
#include "support/LoopbackServer.h"
#include "support/Socks4Relay.h"
#include "support/TestMedia.h"
#include "support/TestServer.h"
#include "transport/KNRTMPConnect.h"
#include "transport/KNRTMPManager.h"

namespace {

using namespace kntest;
using Errors = std::vector<std::pair<int64_t, std::string>>;

struct Publisher {
    std::shared_ptr<Recorder> events = std::make_shared<Recorder>();
    std::shared_ptr<KNRTMPManager> manager = KNRTMPManager::create();

    Publisher(std::optional<std::string> url, uint64_t timeoutSeconds, std::shared_ptr<const KNMetadata> metadata) {
        manager->setDelegate(events);
        manager->setConnectionURL(std::move(url));
        manager->setTimeout(timeoutSeconds);
        manager->setMetadata(std::move(metadata));
    }
    // Establishes and waits for the outcome; answers whether it connected.
    bool connect() {
        const int connects = events->count(events->connects);
        const size_t errors = events->errorList().size();
        manager->establishConnection();
        events->waitUntil([&] { return events->connects > connects || events->errors.size() > errors; }, 45s);
        return events->count(events->connects) > connects;
    }
    // Hands one frame over at its time plus `offsetMs`; answers whether the publisher took it.
    bool feed(const TestMediaFrame& frame, uint64_t offsetMs = 0) {
        const int drops = events->count(events->drops);
        handOver(*manager, frame, kClockBaseMs + offsetMs + frame.timestampMs);
        return events->count(events->drops) == drops;
    }
    // Every frame, never near the load bound; returns once all is written.
    void feedAll(const TestMedia& media, uint64_t offsetMs = 0) {
        for (const auto& frame : media.frames) {
            ASSERT_TRUE(waitFor([&] { return manager->queueLoad() < kMaxQueueLoad / 2; }, 20s));
            ASSERT_TRUE(feed(frame, offsetMs));
        }
        manager->senderQueue()->sync([] {});
    }
    bool close() {
        manager->senderQueue()->sync([] {});
        const int closes = events->count(events->closes);
        manager->closeConnection();
        return events->waitFor(events->closes, closes + 1, 20s);
    }
};

const TestMedia& clip() {
    static const TestMedia media = scratchMedia("clip");
    return media;
}

class KNRTMPManagerE2E : public ::testing::Test {
protected:
    void SetUp() override {
        server = TestServer::shared();
        ASSERT_TRUE(server);
        // Read at the first handshake; the servers a test starts share the fixture's CA.
        setenv("SSL_CERT_FILE", server->value("CA_FILE").c_str(), 1);
    }
    std::shared_ptr<TestServer> privateServer() {
        return TestServer::startPrivate(std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("server"));
    }
    std::shared_ptr<TestServer> server;
};

// What a player joining the live stream is told as onMetaData.
std::vector<uint8_t> metaDataSeenByAPlayer(const std::string& url) {
    RTMP* rtmp = RTMP_Alloc();
    RTMP_Init(rtmp);
    std::string link = url + " live=1 timeout=20";
    std::vector<uint8_t> metaData;
    if (RTMP_SetupURL(rtmp, link.data()) && RTMP_Connect(rtmp, nullptr) && RTMP_ConnectStream(rtmp, 0)) {
        RTMPPacket packet{};
        while (metaData.empty() && RTMP_IsConnected(rtmp) && RTMP_ReadPacket(rtmp, &packet)) {
            if (!RTMPPacket_IsReady(&packet)) continue;
            const auto* body = reinterpret_cast<const uint8_t*>(packet.m_body);
            if (packet.m_packetType == RTMP_PACKET_TYPE_INFO && packet.m_nBodySize > 13 &&
                std::memcmp(body + 3, "onMetaData", 10) == 0) {
                metaData.assign(body, body + packet.m_nBodySize);
            } else {
                RTMP_ClientPacket(rtmp, &packet);
            }
            RTMPPacket_Free(&packet);
        }
    }
    RTMP_Close(rtmp);
    RTMP_Free(rtmp);
    return metaData;
}

TEST_F(KNRTMPManagerE2E, EveryRoutePublishesEveryFrame) {
    Socks4Relay relay(AF_INET6, Socks4Relay::Reply::GrantInTwoParts);
    const auto ipv6Host = server->value("IPV6_HOST");
    const auto socks = " socks=" + ipv6Host + ":" + std::to_string(relay.port());  // its reply in two parts
    const std::tuple<std::string, const char*, std::string> routes[] = {
        {"127.0.0.1", "RTMP_PORT", ""}, {ipv6Host, "RTMP_PORT", ""}, {"localhost", "RTMP_PORT", socks},
        {"127.0.0.1", "RTMPS_PORT", ""},  // TLS 1.2 only
        {"localhost", "TLS_PORT", ""}, {"localhost", "TLS13_PORT", ""}, {ipv6Host, "TLS_PORT", ""}};
    for (const auto& [host, portKey, options] : routes) {
        const auto stream = uniqueName("route"), url = server->url(stream, host, portKey) + options;
        SCOPED_TRACE(url);
        Publisher publisher(url, 10, clip().metadata());
        ASSERT_TRUE(publisher.connect()) << publisher.events->story();
        publisher.feedAll(clip());
        ASSERT_TRUE(publisher.close());
        EXPECT_EQ(publisher.events->story(), "connect; close; ");
        expectRecording(server->waitForRecording(stream), clip(), clip().videoFrames, clip().audioFrames);
    }
    EXPECT_EQ(relay.requests().size(), 1u);
}

// In real time through a tap that keeps what the publisher sent, with a player joined: the player
// gets our onMetaData, the larger chunk size is announced, a second establish halfway is refused
// without touching the stream, and every frame is recorded.
TEST_F(KNRTMPManagerE2E, LiveStreamPlaysBackWithOurMetadataAndSurvivesASecondEstablish) {
    std::mutex mutex;
    std::string fromClient;
    LoopbackServer tap(AF_INET, [&](int client, const std::atomic<bool>& stopping) {
        sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(server->rtmpPort())), {htonl(INADDR_LOOPBACK)}, {}};
        const int upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        pollfd fds[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
        char buffer[65536];
        bool open = connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        while (open && !stopping) {
            for (int i = 0; i < 2 && open && poll(fds, 2, 100) > 0; ++i) {
                if (!fds[i].revents) continue;
                const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
                open = n > 0 && send(fds[1 - i].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
                std::lock_guard<std::mutex> guard(mutex);
                if (open && i == 0) fromClient.append(buffer, static_cast<size_t>(n));
            }
        }
        close(upstream);
    });
    const auto stream = uniqueName("live");
    const auto metadata = clip().metadata();
    Publisher publisher("rtmp://127.0.0.1:" + std::to_string(tap.port()) + "/live/" + stream, 10, metadata);
    ASSERT_TRUE(publisher.connect()) << publisher.events->story();
    std::vector<uint8_t> played;
    std::jthread player([&] { played = metaDataSeenByAPlayer(server->url(stream)); });
    const auto start = std::chrono::steady_clock::now();
    for (const auto& frame : clip().frames) {
        if (&frame == &clip().frames[clip().frames.size() / 2]) publisher.manager->establishConnection();
        std::this_thread::sleep_until(start + std::chrono::milliseconds(frame.timestampMs));  // a camera's pace
        ASSERT_TRUE(publisher.feed(frame));
    }
    ASSERT_TRUE(publisher.close());
    player.join();

    EXPECT_EQ(publisher.events->story(), "connect; fail 30001; close; ");
    EXPECT_EQ(publisher.events->errorList(), (Errors{{30001, "Connection already initialized"}}));
    expectRecording(server->waitForRecording(stream), clip(), clip().videoFrames, clip().audioFrames);
    auto expected = KNFLVPayload::onMetaData(*metadata);
    expected.erase(expected.begin(), expected.begin() + 16);  // the "@setDataFrame" string
    EXPECT_EQ(played, expected);
    // Set Chunk Size on the control stream (basic header 2, time 0, length 4, type 1, stream 0): 4096.
    const std::string announce("\x02\0\0\0\0\0\x04\x01\0\0\0\0\0\0\x10\0", 16);
    std::lock_guard<std::mutex> guard(mutex);
    EXPECT_NE(fromClient.find(announce), std::string::npos);
}

// Each fails with its error (within the time-out where the server keeps silent) and its reason in
// the log, reaches no stream on the server, leaves no file open, and leaves a publisher that
// connects once given a good URL.
TEST_F(KNRTMPManagerE2E, FailedConnectsAreReportedAndThePublisherConnectsAfterwards) {
    LoopbackServer silent(AF_INET, [](int client, const std::atomic<bool>& stopping) {
        char byte;  // says nothing until the client hangs up
        waitFor([&] { return stopping || recv(client, &byte, 1, MSG_DONTWAIT) == 0; }, 120s);
    });
    LoopbackServer ipv4Only(AF_INET, [](int, const std::atomic<bool>&) {});
    Socks4Relay refusing(AF_INET, Socks4Relay::Reply::Refuse);
    const auto at = [](const std::string& host, int port) {
        return "rtmp://" + host + ":" + std::to_string(port) + "/live/x";
    };
    const auto failed = uniqueName("failed");
    const auto tls = [&](const char* portKey) { return server->url(failed, "localhost", portKey); };
    const Errors::value_type lost{30003, "Failed to connect to server"}, noURL{30000, "Connection URL is missing"};
    const std::string untrusted = "TLS failed: certificate of localhost not accepted: The certificate is NOT trusted. ";
    struct Case {
        std::optional<std::string> url;
        uint64_t timeout;
        std::chrono::seconds takes;  // 0: at once
        std::string logged;
    };
    const Case cases[] = {
        {std::nullopt, 5, 0s, ""},
        {at("127.0.0.1", LoopbackServer::unusedPort()), 5, 0s, "RTMP_Connect0, failed to connect socket. 111"},
        // localhost answers ::1 first, and that family holds: no fall-back to IPv4.
        {at("localhost", ipv4Only.port()), 5, 0s, "RTMP_Connect0_IPV6, failed to connect socket. 111"},
        {at("127.0.0.1", silent.port()), 2, 2s, ""},
        {at("127.0.0.1", silent.port()), 0, 30s, ""},  // the library's time-out
        {at("127.0.0.1", 1935) + " socks=127.0.0.1:" + std::to_string(refusing.port()), 5, 0s,
         "SOCKS returned error code 91"},
        {tls("TLS_UNTRUSTED_PORT"), 5, 0s, untrusted + "The certificate issuer is unknown."},
        {tls("TLS_SELFSIGNED_PORT"), 5, 0s, untrusted + "The certificate issuer is unknown."},
        {tls("TLS_WRONGHOST_PORT"), 5, 0s, untrusted + "The name in the certificate does not match the expected."},
    };
    const auto openFiles = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
    const auto filesBefore = openFiles();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url.value_or("no URL"));
        Publisher publisher(c.url, c.timeout, nullptr);
        testing::internal::CaptureStderr();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(publisher.connect());
        const auto took = std::chrono::steady_clock::now() - start;
        const auto log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(publisher.events->errorList(), Errors{c.url ? lost : noURL});
        EXPECT_TRUE(took > c.takes - 500ms && took < c.takes + 10s) << (took / 1ms) << " ms";
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        publisher.manager->setConnectionURL(server->url(uniqueName("afterwards")));
        EXPECT_TRUE(publisher.connect()) << publisher.events->story();
        EXPECT_TRUE(publisher.close());
    }
    EXPECT_TRUE(waitFor([&] { return openFiles() == filesBefore; }, 5s)) << openFiles() << " files open";
    EXPECT_FALSE(std::filesystem::exists(server->recordingPath(failed)));
    EXPECT_EQ(ipv4Only.accepted(), 0);
}

// SIGSTOP on every nginx process: the socket fills, the queue backs up, drops begin; after SIGCONT
// the recording holds exactly what was taken.
TEST_F(KNRTMPManagerE2E, StalledServerDropsAtTheBoundAndResumesOnAKeyFrame) {
    const auto media = scratchMedia("stall", {.width = 640, .height = 360, .videoBitrateKbps = 6000});
    auto server = privateServer();
    ASSERT_TRUE(server);
    const auto stream = uniqueName("stall");
    Publisher publisher(server->url(stream), 10, media.metadata());
    ASSERT_TRUE(publisher.connect());
    publisher.feedAll(media);
    size_t videoFed = media.videoFrames, audioFed = media.audioFrames;
    std::vector<pid_t> pids = server->workerPids();
    pids.push_back(server->masterPid());
    for (pid_t pid : pids) ASSERT_EQ(kill(pid, SIGSTOP), 0);

    // Every frame as fast as it comes, until drops have begun; once the server is back, one more
    // round waits for room. Drops happen only above the bound; video resumes on a key frame.
    bool droppedKeyFrame = false, resumed = false, videoDropping = false;
    for (int loop = 1; !resumed; ++loop) {
        resumed = loop == 40 || (droppedKeyFrame && publisher.events->count(publisher.events->drops) > 200);
        if (resumed) {
            for (pid_t pid : pids) kill(pid, SIGCONT);
            ASSERT_TRUE(droppedKeyFrame);
        }
        for (const auto& frame : media.frames) {
            if (resumed) {
                ASSERT_TRUE(waitFor([&] { return publisher.manager->queueLoad() < kMaxQueueLoad / 2; }, 30s));
            }
            const int64_t load = publisher.manager->queueLoad();  // only this thread adds to it
            const bool accepted = publisher.feed(frame, loop * media.spanMs);
            EXPECT_TRUE(accepted || (frame.video && !frame.keyFrame) || load > kMaxQueueLoad) << "dropped at " << load;
            EXPECT_TRUE(!(frame.video && videoDropping && accepted) || frame.keyFrame) << "resumed on an inter frame";
            if (frame.video && frame.keyFrame) videoDropping = !accepted;
            if (accepted) ++(frame.video ? videoFed : audioFed);
            droppedKeyFrame |= frame.keyFrame && !accepted;
        }
    }
    ASSERT_TRUE(publisher.close());
    EXPECT_FALSE(videoDropping);
    EXPECT_EQ(publisher.events->story(), "connect; close; ");
    expectRecording(server->waitForRecording(stream, 60s), media, videoFed, audioFed);
}

// Workers killed under a running stream, plain and over TLS: the loss shows on a write and is
// reported once (at most one failed write before it), packets still coming only count off, and
// the publisher connects again and publishes. Letting go of a publisher whose server died writes to
// the dead connection from the releasing thread, whose SIGPIPE is not blocked: the process lives on.
TEST_F(KNRTMPManagerE2E, KilledServerIsReportedOnceAndThePublisherConnectsAgain) {
    const auto& media = clip();
    auto server = privateServer();
    ASSERT_TRUE(server);
    Publisher publisher(std::nullopt, 10, media.metadata());
    const auto killWorkers = [&] {
        const auto workers = server->workerPids();
        for (pid_t pid : workers) kill(pid, SIGKILL);
        // The master starts new ones, on the same listening sockets.
        return waitFor([&] { return !server->workerPids().empty() && server->workerPids() != workers; }, 20s);
    };
    uint64_t offset = 0;
    for (const char* portKey : {"RTMP_PORT", "TLS_PORT"}) {
        SCOPED_TRACE(portKey);
        publisher.manager->setConnectionURL(server->url(uniqueName("killed"), "127.0.0.1", portKey));
        ASSERT_TRUE(publisher.connect()) << publisher.events->story();
        const int disconnects = publisher.events->count(publisher.events->disconnects);
        publisher.feedAll(media, offset);
        ASSERT_TRUE(killWorkers());
        for (int loop = 0; loop < 20 && publisher.events->count(publisher.events->disconnects) == disconnects; ++loop) {
            publisher.feedAll(media, offset += media.spanMs);
        }
        publisher.feedAll(media, offset += media.spanMs);
        EXPECT_EQ(publisher.manager->queueLoad(), 0);
        EXPECT_EQ(publisher.events->count(publisher.events->disconnects), disconnects + 1);
    }
    const auto stream = uniqueName("again");
    publisher.manager->setConnectionURL(server->url(stream));
    ASSERT_TRUE(publisher.connect()) << publisher.events->story();
    publisher.feedAll(media);
    ASSERT_TRUE(publisher.close());
    expectRecording(server->waitForRecording(stream), media, media.videoFrames, media.audioFrames);
    auto story = publisher.events->story();  // a failed write may come before each disconnect
    for (size_t at; (at = story.find("fail 30003; ")) != std::string::npos;) story.erase(at, 12);
    EXPECT_EQ(story, "connect; disconnect; connect; disconnect; connect; close; ");
    EXPECT_LE(publisher.events->errorList().size(), 2u);
    for (const auto& error : publisher.events->errorList()) {
        EXPECT_EQ(error, (Errors::value_type{30003, "Connection to server lost"}));
    }

    ASSERT_TRUE(publisher.connect());
    publisher.manager->senderQueue()->sync([] {});
    ASSERT_TRUE(killWorkers());
    sigset_t pipe, mask;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    publisher.manager.reset();
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGPIPE));
}

// The connect step on this, the main thread, where SIGPIPE would end the process: a server that
// hangs up in the middle of the handshake makes it write to a dead connection.
TEST(KNRTMPConnectE2E, PeerGoneDuringHandshakeRaisesNoSignal) {
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
        std::string url = "rtmp://127.0.0.1:" + std::to_string(hangUp.port()) + "/live/x";
        RTMP* r = RTMP_Alloc();
        RTMP_Init(r);
        ASSERT_TRUE(RTMP_SetupURL(r, url.data()));  // the session points into url
        r->Link.timeout = 5;
        RTMP_EnableWrite(r);
        EXPECT_FALSE(kn::RTMP_Connect(r, nullptr) && RTMP_ConnectStream(r, 0));
        kn::endSession(r);
        RTMP_Free(r);
    }
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

}  // namespace
