// The publisher's connection side against the fixture's nginx (IPv4, IPv6 by name, RTMPS over
// TLS 1.2), private nginx instances the tests kill, and servers that refuse or never answer.
#include "transport/KNRTMPManager.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "KNRTMPSessionStandIn.h"
#include "support/LoopbackServer.h"
#include "support/Socks4Relay.h"
#include "support/TestMedia.h"
#include "support/TestServer.h"

namespace {

using namespace std::chrono_literals;
using kntest::TestServer;
using Errors = std::vector<std::pair<int64_t, std::string>>;

const kntest::TestMedia& clip() {
    static const kntest::TestMedia media = [] {
        const std::string dir = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("clip");
        std::filesystem::create_directories(dir);
        return kntest::makeTestMedia(dir, "clip", {.width = 160, .height = 120, .sampleRate = 48000});
    }();
    return media;
}

// Hands the media from `fromMs` to `toMs` (the clip repeated as often as needed) to the publisher
// in timestamp order, never more than the publisher can queue.
void feed(KNRTMPManager& manager, uint64_t fromMs, uint64_t toMs) {
    const auto& media = clip();
    for (uint64_t loop = fromMs / media.spanMs; loop * media.spanMs < toMs; ++loop) {
        for (const auto& frame : media.frames) {
            const uint64_t t = loop * media.spanMs + frame.timestampMs;
            if (t < fromMs) continue;
            if (t >= toMs) break;
            kntest::waitFor([&] { return manager.queueLoad() < 100; }, 10s);
            kntest::handOver(manager, frame, 1000000 + t);
        }
    }
}

struct Publisher {
    std::shared_ptr<KNRTMPManager> manager = KNRTMPManager::create();
    std::shared_ptr<kntest::Recorder> events = std::make_shared<kntest::Recorder>();
    explicit Publisher(std::optional<std::string> url, uint64_t timeoutSeconds = 5) {
        manager->setDelegate(events);
        manager->setConnectionURL(std::move(url));
        manager->setMetadata(clip().metadata());
        manager->setTimeout(timeoutSeconds);
    }
    // Closes and waits for the close report, so nothing of the publisher outlives the test.
    ~Publisher() { close(60s); }

    bool connect() {
        manager->establishConnection();
        return events->waitFor(events->connects, events->count(events->connects) + 1);
    }
    bool close(std::chrono::seconds timeout = 15s) {
        const int closes = events->count(events->closes);
        manager->closeConnection();
        return events->waitFor(events->closes, closes + 1, timeout);
    }
    bool waitForErrors(size_t n, std::chrono::milliseconds timeout = 15s) {
        return events->waitUntil([&] { return events->errors.size() >= n; }, timeout);
    }
};

// The recording decodes cleanly, holds H.264 and AAC, and each stream's time only moves on.
void expectCleanRecording(const TestServer& server, const std::string& stream, double minDurationSeconds) {
    const auto file = server.waitForRecording(stream);
    ASSERT_FALSE(file.empty()) << "no finished recording of " << stream;
    const auto probe = kntest::ffprobe(file).output;
    EXPECT_NE(probe.find("codec_name=h264"), std::string::npos) << probe;
    EXPECT_NE(probe.find("codec_name=aac"), std::string::npos) << probe;
    EXPECT_EQ(kntest::decodeErrors(file).output, "");
    std::istringstream lines(kntest::runCommand({"ffprobe", "-v", "error", "-show_entries",
                                                 "packet=stream_index,pts_time", "-of", "csv=p=0", file}).output);
    double last[2] = {-1, -1}, end = 0;
    for (std::string line; std::getline(lines, line);) {
        int stream = -1;
        double pts = 0;
        if (std::sscanf(line.c_str(), "%d,%lf", &stream, &pts) != 2 || stream < 0 || stream > 1) continue;
        EXPECT_GE(pts, last[stream]) << "time went back in stream " << stream;
        last[stream] = pts;
        end = std::max(end, pts);
    }
    EXPECT_GE(end, minDurationSeconds);
}

class KNRTMPManagerConnect : public ::testing::Test {
protected:
    void SetUp() override {
        server = TestServer::shared();
        ASSERT_TRUE(server);
        ASSERT_EQ(clip().error, "");
        // For a TLS client that checks the server's certificate: the fixture's own CA.
        setenv("SSL_CERT_FILE", server->caFile().c_str(), 1);
    }
    std::shared_ptr<TestServer> server;
};

TEST_F(KNRTMPManagerConnect, PublishesAndClosesOverIPv4IPv6TLSAndSOCKS) {
    kntest::Socks4Relay relay(AF_INET6, kntest::Socks4Relay::Reply::GrantInTwoParts);
    const std::string viaRelay = " socks=" + server->ipv6Host() + ":" + std::to_string(relay.port());
    struct Route {
        std::string name;
        std::function<std::string(const std::string&)> url;
        std::string client;  // as the server's access log shows it
    };
    const Route routes[] = {
        {"IPv4", [&](const std::string& s) { return server->rtmpURL(s, "127.0.0.1"); }, "127.0.0.1"},
        {"IPv6 by name", [&](const std::string& s) { return server->rtmpURL(s, server->ipv6Host()); }, "::1"},
        {"RTMPS over TLS 1.2", [&](const std::string& s) { return server->rtmpsURL(s, "127.0.0.1"); }, "127.0.0.1"},
        {"SOCKS4 relay on IPv6", [&](const std::string& s) { return server->rtmpURL(s, "localhost") + viaRelay; },
         "127.0.0.1"},
    };
    for (const auto& route : routes) {
        SCOPED_TRACE(route.name);
        const auto stream = kntest::uniqueName("route");
        {
            Publisher publisher(route.url(stream));
            ASSERT_TRUE(publisher.connect()) << publisher.events->story();
            feed(*publisher.manager, 0, 1500);
            ASSERT_TRUE(publisher.close());
            EXPECT_EQ(publisher.events->story(), "connect; close; ");
        }
        expectCleanRecording(*server, stream, 1.0);
        const auto log = server->accessLog();
        const auto line = log.find("\"" + stream + "\"");
        ASSERT_NE(line, std::string::npos);
        EXPECT_EQ(log.substr(log.rfind('\n', line) + 1, route.client.size() + 2), route.client + " [");
    }
    EXPECT_EQ(relay.requests().size(), 1u);
}

TEST_F(KNRTMPManagerConnect, MissingURLAndRefusedPortFailThenTheSamePublisherConnects) {
    Publisher publisher(std::nullopt);
    publisher.manager->establishConnection();
    ASSERT_TRUE(publisher.waitForErrors(1));  // the URL is read on the publisher's queue
    publisher.manager->setConnectionURL("rtmp://127.0.0.1:" + std::to_string(kntest::LoopbackServer::unusedPort()) +
                                        "/live/x");
    publisher.manager->establishConnection();
    ASSERT_TRUE(publisher.waitForErrors(2));
    EXPECT_EQ(publisher.events->errorList(),
              (Errors{{30000, "Connection URL is missing"}, {30003, "Failed to connect to server"}}));

    publisher.manager->setConnectionURL(server->rtmpURL(kntest::uniqueName("after-refusal")));
    EXPECT_TRUE(publisher.connect()) << publisher.events->story();
}

// A server that takes the TCP connection and never says a word: the publisher gives up with 30003
// after about its time-out (for 0 the library's 30 s, never "for ever"), then connects elsewhere.
TEST_F(KNRTMPManagerConnect, SilentServerFailsWithinTheTimeoutAndThePublisherConnectsAgain) {
    kntest::LoopbackServer silent(AF_INET, [](int, const std::atomic<bool>& stopping) {
        kntest::waitFor([&] { return stopping.load(); }, 120s);
    });
    for (const uint64_t timeout : {2, 0}) {
        SCOPED_TRACE(timeout);
        const auto expected = std::chrono::seconds(timeout ? timeout : 30);
        Publisher publisher("rtmp://127.0.0.1:" + std::to_string(silent.port()) + "/live/x", timeout);
        const auto start = std::chrono::steady_clock::now();
        publisher.manager->establishConnection();
        ASSERT_TRUE(publisher.waitForErrors(1, expected + 15s)) << publisher.events->story();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(publisher.events->errorList(), (Errors{{30003, "Failed to connect to server"}}));
        EXPECT_GE(took, expected - 500ms);
        EXPECT_LT(took, expected + 10s);

        ASSERT_TRUE(publisher.close());
        publisher.manager->setConnectionURL(server->rtmpURL(kntest::uniqueName("after-silence")));
        EXPECT_TRUE(publisher.connect()) << publisher.events->story();
    }
}

// A second establish while connected is refused and leaves the live stream alone: no disconnect,
// and the recording's timestamps run on instead of starting over.
TEST_F(KNRTMPManagerConnect, SecondEstablishIsRefusedAndTheStreamGoesOn) {
    const auto stream = kntest::uniqueName("second-establish");
    {
        Publisher publisher(server->rtmpURL(stream));
        ASSERT_TRUE(publisher.connect()) << publisher.events->story();
        feed(*publisher.manager, 0, 1500);
        publisher.manager->establishConnection();
        ASSERT_TRUE(publisher.waitForErrors(1));
        feed(*publisher.manager, 1500, 3000);
        ASSERT_TRUE(publisher.close());
        EXPECT_EQ(publisher.events->story(), "connect; fail 30001; close; ");
        EXPECT_EQ(publisher.events->errorList(), (Errors{{30001, "Connection already initialized"}}));
    }
    expectCleanRecording(*server, stream, 2.5);
}

// The server dies under a running TLS stream: the writes that follow fail without a signal ending
// the test process, the loss is reported once, and the publisher closes cleanly afterwards.
TEST_F(KNRTMPManagerConnect, ServerKilledMidStreamLeavesTheProcessAlive) {
    auto own = TestServer::startPrivate(std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("killed"));
    ASSERT_TRUE(own);
    setenv("SSL_CERT_FILE", own->caFile().c_str(), 1);  // each server makes its own CA
    Publisher publisher(own->rtmpsURL(kntest::uniqueName("killed"), "127.0.0.1"));
    ASSERT_TRUE(publisher.connect()) << publisher.events->story();
    feed(*publisher.manager, 0, 1000);

    // The master first: left alive for a moment, it would start a new worker that nobody stops.
    std::vector<pid_t> pids = own->workerPids();
    pids.insert(pids.begin(), own->masterPid());
    for (pid_t pid : pids) kill(pid, SIGKILL);
    // Keep writing until the loss shows.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    for (uint64_t from = 1000; publisher.events->count(publisher.events->disconnects) == 0 &&
                               std::chrono::steady_clock::now() < deadline;
         from += 200) {
        feed(*publisher.manager, from, from + 200);
        publisher.events->waitFor(publisher.events->disconnects, 1, 50ms);
    }
    EXPECT_EQ(publisher.events->count(publisher.events->disconnects), 1) << publisher.events->story();
    EXPECT_TRUE(publisher.close()) << publisher.events->story();
}

}  // namespace
