// The publisher's connection side against the fixture's nginx (IPv4, IPv6 by name, RTMPS over
// TLS 1.2), private nginx instances the tests kill, and servers that refuse or never answer.
#include "transport/KNRTMPManager.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kestrune/KNError.h"
#include "support/LoopbackServer.h"
#include "support/Socks4Relay.h"
#include "support/TestMedia.h"
#include "support/TestServer.h"

namespace {

using namespace std::chrono_literals;
using kntest::TestServer;
using kntest::waitFor;
using Bytes = KNRTMPManager::Bytes;

// ---- Encoded media to publish ----

const kntest::TestMedia& clip() {
    static const kntest::TestMedia media = [] {
        const std::string dir = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("clip");
        std::filesystem::create_directories(dir);
        kntest::TestMediaOptions options;
        options.width = 160;
        options.height = 120;
        options.sampleRate = 48000;
        return kntest::makeTestMedia(dir, "clip", options);
    }();
    return media;
}

// Hands the media from `fromMs` to `toMs` (the clip repeated as often as needed) to the publisher
// in timestamp order, the way the encoders do (parameter sets before each key frame), never more
// than the publisher can queue.
void feed(KNRTMPManager& manager, uint64_t fromMs, uint64_t toMs, uint64_t baseMs = 1000000) {
    const auto& media = clip();
    for (uint64_t loop = fromMs / media.spanMs; loop * media.spanMs < toMs; ++loop) {
        for (const auto& frame : media.frames) {
            const uint64_t t = loop * media.spanMs + frame.timestampMs;
            if (t < fromMs) continue;
            if (t >= toMs) break;
            waitFor([&] { return manager.queueLoad() < 100; }, 10s);
            if (frame.video) {
                if (frame.keyFrame) manager.setVideoSPSAndPPS(frame.sps, frame.pps);
                manager.sendVideoPacketIsKeyFrameTimestamp(frame.data, frame.keyFrame, baseMs + t);
            } else {
                manager.sendAudioPacketTimestamp(frame.data, baseMs + t);
            }
        }
    }
}

std::shared_ptr<const KNMetadata> metadata() {
    auto m = KNMetadata::create();
    m->setVideoCodecId("avc1");
    m->setVideoWidth(160);
    m->setVideoHeight(120);
    m->setVideoBitrate(200000);
    m->setVideoFramerate(25);
    m->setAudioCodecId("mp4a");
    m->setAudioBitrate(64000);
    m->setAudioSampleRate(48000);
    m->setAudioSampleSize(16);
    return m;
}

// ---- What the publisher reports ----

class Events : public KNRTMPManagerDelegate {
public:
    void RTMPManagerDidConnectToServer(KNRTMPManager*) override { add("connect"); }
    void RTMPManagerDidFailConnectingWithError(KNRTMPManager*, std::shared_ptr<KNError> error) override {
        add("fail " + std::to_string(error->errorCodes().at(0)) + " " + error->message().value_or("(null)"));
    }
    void RTMPManagerDidDisconnect(KNRTMPManager*) override { add("disconnect"); }
    void RTMPManagerDidCloseConnection(KNRTMPManager*) override { add("close"); }

    int count(const std::string& prefix) const {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& e : events_) n += e.rfind(prefix, 0) == 0;
        return n;
    }
    // Waits until `prefix` has been reported `times` times in all.
    bool waitFor(const std::string& prefix, std::chrono::milliseconds timeout = 15s, int times = 1) const {
        return kntest::waitFor([&] { return count(prefix) >= times; }, timeout);
    }
    std::string all() const {
        std::lock_guard lock(mutex_);
        std::string s;
        for (const auto& e : events_) s += e + "; ";
        return s;
    }

private:
    void add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

struct Publisher {
    std::shared_ptr<KNRTMPManager> manager = KNRTMPManager::create();
    std::shared_ptr<Events> events = std::make_shared<Events>();
    explicit Publisher(std::optional<std::string> url, uint64_t timeoutSeconds = 5) {
        manager->setDelegate(events);
        manager->setConnectionURL(std::move(url));
        manager->setMetadata(metadata());
        manager->setTimeout(timeoutSeconds);
    }
    // Closes and waits for the close report, so nothing of the publisher outlives the test.
    ~Publisher() {
        const int closes = events->count("close");
        manager->closeConnection();
        events->waitFor("close", 60s, closes + 1);
    }
};

struct Packet {
    int stream;
    double pts;
};

// The packets of a recording, in file order.
std::vector<Packet> packets(const std::string& file) {
    auto r = kntest::runCommand({"ffprobe", "-v", "error", "-show_entries", "packet=stream_index,pts_time", "-of",
                                 "csv=p=0", file});
    std::vector<Packet> out;
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
        Packet p{};
        if (std::sscanf(line.c_str(), "%d,%lf", &p.stream, &p.pts) == 2) out.push_back(p);
    }
    return out;
}

// The recording decodes cleanly, holds H.264 and AAC, and each stream's time only moves on.
void expectCleanRecording(const TestServer& server, const std::string& stream, double minDurationSeconds) {
    const auto file = server.waitForRecording(stream);
    ASSERT_FALSE(file.empty()) << "no finished recording of " << stream;
    const auto probe = kntest::ffprobe(file).output;
    EXPECT_NE(probe.find("codec_name=h264"), std::string::npos) << probe;
    EXPECT_NE(probe.find("codec_name=aac"), std::string::npos) << probe;
    EXPECT_EQ(kntest::decodeErrors(file).output, "");
    double last[2] = {-1, -1};
    double end = 0;
    for (const auto& p : packets(file)) {
        if (p.stream < 0 || p.stream > 1) continue;
        EXPECT_GE(p.pts, last[p.stream]) << "time went back in stream " << p.stream;
        last[p.stream] = p.pts;
        end = std::max(end, p.pts);
    }
    EXPECT_GE(end, minDurationSeconds);
}

std::string silentURL(const kntest::LoopbackServer& s) {
    return "rtmp://127.0.0.1:" + std::to_string(s.port()) + "/live/x";
}

// Takes the TCP connection and never says a word.
void holdSilently(int, const std::atomic<bool>& stopping) {
    waitFor([&] { return stopping.load(); }, 120s);
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
            publisher.manager->establishConnection();
            ASSERT_TRUE(publisher.events->waitFor("connect")) << publisher.events->all();
            feed(*publisher.manager, 0, 1500);
            publisher.manager->closeConnection();
            ASSERT_TRUE(publisher.events->waitFor("close")) << publisher.events->all();
            EXPECT_EQ(publisher.events->count("fail"), 0) << publisher.events->all();
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
    ASSERT_TRUE(publisher.events->waitFor("fail"));
    EXPECT_EQ(publisher.events->all(), "fail 30000 Connection URL is missing; ");

    publisher.manager->setConnectionURL("rtmp://127.0.0.1:" + std::to_string(kntest::LoopbackServer::unusedPort()) + "/live/x");
    publisher.manager->establishConnection();
    ASSERT_TRUE(publisher.events->waitFor("fail", 15s, 2));
    EXPECT_EQ(publisher.events->count("fail 30003 Failed to connect to server"), 1) << publisher.events->all();

    const auto stream = kntest::uniqueName("after-refusal");
    publisher.manager->setConnectionURL(server->rtmpURL(stream));
    publisher.manager->establishConnection();
    ASSERT_TRUE(publisher.events->waitFor("connect")) << publisher.events->all();
}

// Connects to a server that takes the TCP connection and never answers: the publisher gives up
// with 30003 after about `expected`, its time-out (for 0 the library's 30 s, never "for ever").
void expectSilentServerGivesUp(Publisher& publisher, std::chrono::seconds expected) {
    const auto start = std::chrono::steady_clock::now();
    publisher.manager->establishConnection();
    ASSERT_TRUE(publisher.events->waitFor("fail", expected + 15s)) << publisher.events->all();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(publisher.events->count("fail 30003 Failed to connect to server"), 1) << publisher.events->all();
    EXPECT_GE(took, expected - 500ms);
    EXPECT_LT(took, expected + 10s);
}

TEST_F(KNRTMPManagerConnect, SilentServerFailsWithinTheTimeoutAndThePublisherConnectsAgain) {
    kntest::LoopbackServer silent(AF_INET, holdSilently);
    Publisher publisher(silentURL(silent), 2);
    expectSilentServerGivesUp(publisher, 2s);

    publisher.manager->closeConnection();
    ASSERT_TRUE(publisher.events->waitFor("close"));
    publisher.manager->setConnectionURL(server->rtmpURL(kntest::uniqueName("after-silence")));
    publisher.manager->establishConnection();
    EXPECT_TRUE(publisher.events->waitFor("connect")) << publisher.events->all();
}

TEST_F(KNRTMPManagerConnect, UnsetTimeoutGivesUpAfterThirtySeconds) {
    kntest::LoopbackServer silent(AF_INET, holdSilently);
    Publisher publisher(silentURL(silent), 0);
    expectSilentServerGivesUp(publisher, 30s);
}

// A second establish while connected is refused and leaves the live stream alone: no disconnect,
// and the recording's timestamps run on instead of starting over.
TEST_F(KNRTMPManagerConnect, SecondEstablishIsRefusedAndTheStreamGoesOn) {
    const auto stream = kntest::uniqueName("second-establish");
    {
        Publisher publisher(server->rtmpURL(stream));
        publisher.manager->establishConnection();
        ASSERT_TRUE(publisher.events->waitFor("connect")) << publisher.events->all();
        feed(*publisher.manager, 0, 1500);
        publisher.manager->establishConnection();
        ASSERT_TRUE(publisher.events->waitFor("fail")) << publisher.events->all();
        EXPECT_EQ(publisher.events->count("fail 30001 Connection already initialized"), 1);
        feed(*publisher.manager, 1500, 3000);
        publisher.manager->closeConnection();
        ASSERT_TRUE(publisher.events->waitFor("close"));
        EXPECT_EQ(publisher.events->all(), "connect; fail 30001 Connection already initialized; close; ");
    }
    expectCleanRecording(*server, stream, 2.5);
}

// The server dies under a running stream: the writes that follow fail without a signal ending the
// test process, the loss is reported once, and the publisher closes cleanly afterwards.
TEST_F(KNRTMPManagerConnect, ServerKilledMidStreamLeavesTheProcessAlive) {
    for (const bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "rtmps" : "rtmp");
        auto own = TestServer::startPrivate(std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("killed"));
        ASSERT_TRUE(own);
        setenv("SSL_CERT_FILE", own->caFile().c_str(), 1);  // each server makes its own CA
        const auto stream = kntest::uniqueName("killed");
        Publisher publisher(secure ? own->rtmpsURL(stream, "127.0.0.1") : own->rtmpURL(stream));
        publisher.manager->establishConnection();
        ASSERT_TRUE(publisher.events->waitFor("connect")) << publisher.events->all();
        feed(*publisher.manager, 0, 1000);

        std::vector<pid_t> pids = own->workerPids();
        pids.push_back(own->masterPid());
        for (pid_t pid : pids) kill(pid, SIGKILL);

        // Keep writing until the loss shows.
        uint64_t from = 1000;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (publisher.events->count("disconnect") == 0 && std::chrono::steady_clock::now() < deadline) {
            feed(*publisher.manager, from, from + 200);
            from += 200;
            publisher.events->waitFor("disconnect", 50ms);
        }
        EXPECT_EQ(publisher.events->count("disconnect"), 1) << publisher.events->all();
        publisher.manager->closeConnection();
        EXPECT_TRUE(publisher.events->waitFor("close")) << publisher.events->all();
    }
}

}  // namespace
