// Publishing over rtmps:// to the fixture's nginx through its TLS fronts (the stream module
// terminating TLS 1.2 and/or 1.3), with the fixture's CA trusted through SSL_CERT_FILE.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "kestrune/KNError.h"
#include "support/LoopbackServer.h"
#include "support/TestMedia.h"
#include "support/TestServer.h"
#include "transport/KNRTMPManager.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using kntest::LoopbackServer;
using kntest::TestServer;
using kntest::waitFor;

// Two seconds of H.264 and AAC (48 kHz mono), encoded once per process.
const kntest::TestMedia& media() {
    static const kntest::TestMedia m = [] {
        fs::path dir = fs::path(KESTRUNE_TEST_TMP) / ("rtmps-media-" + std::to_string(getpid()));
        fs::create_directories(dir);
        kntest::TestMediaOptions options;
        options.seconds = 2;
        options.sampleRate = 48000;
        auto made = kntest::makeTestMedia(dir.string(), "media", options);
        EXPECT_EQ(made.error, "");
        fs::remove_all(dir);
        return made;
    }();
    return m;
}

class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        if (auto server = TestServer::shared())
            setenv("SSL_CERT_FILE", server->caFile().c_str(), 1);  // read at the first handshake
    }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new Environment);

// What the publisher reported, for the test thread to wait on.
class Reports : public KNRTMPManagerDelegate {
public:
    void RTMPManagerDidConnectToServer(KNRTMPManager*) override { ++connected; }
    void RTMPManagerDidFailConnectingWithError(KNRTMPManager*, std::shared_ptr<KNError> error) override {
        std::lock_guard<std::mutex> lock(mutex);
        failures.push_back({error->errorCodes().empty() ? 0 : error->errorCodes()[0], error->message().value_or("")});
    }
    void RTMPManagerDidDisconnect(KNRTMPManager*) override { ++disconnects; }
    void RTMPManagerDidCloseConnection(KNRTMPManager*) override { ++closed; }
    void RTMPManagerDidSendPacketWithSize(KNRTMPManager*, uint64_t) override { ++sent; }
    void RTMPManagerDidDropPacket(KNRTMPManager*) override { ++dropped; }

    std::vector<std::pair<int64_t, std::string>> failureList() {
        std::lock_guard<std::mutex> lock(mutex);
        return failures;
    }

    std::atomic<int> connected{0}, disconnects{0}, closed{0}, sent{0}, dropped{0};
    std::mutex mutex;
    std::vector<std::pair<int64_t, std::string>> failures;
};

struct Publisher {
    std::shared_ptr<KNRTMPManager> manager = KNRTMPManager::create();
    std::shared_ptr<Reports> reports = std::make_shared<Reports>();

    explicit Publisher(const std::string& url) {
        manager->setDelegate(reports);
        manager->setConnectionURL(url);
        manager->setTimeout(10);
    }

    bool connect() {
        manager->establishConnection();
        return waitFor([&] { return reports->connected > 0 || !reports->failureList().empty(); }, 30s) &&
               reports->connected == 1;
    }

    // Hands frames in no faster than the connection takes them, so nothing is dropped for load.
    void feed(size_t from, size_t to) {
        const auto& frames = media().frames;
        for (size_t i = from; i < to && i < frames.size(); ++i) {
            waitFor([&] { return manager->queueLoad() < 20; }, 10s);
            const auto& f = frames[i];
            if (f.video && f.keyFrame) manager->setVideoSPSAndPPS(f.sps, f.pps);
            if (f.video)
                manager->sendVideoPacketIsKeyFrameTimestamp(f.data, f.keyFrame, f.timestampMs);
            else
                manager->sendAudioPacketTimestamp(f.data, f.timestampMs);
        }
    }

    void close() {
        manager->closeConnection();
        EXPECT_TRUE(waitFor([&] { return reports->closed > 0; }, 30s));
    }
};

// Packet counts per stream type, as ffprobe reads the recording.
std::map<std::string, int> packetCounts(const std::string& file) {
    auto r = kntest::runCommand({"ffprobe", "-v", "error", "-count_packets", "-show_entries",
                                 "stream=codec_type,nb_read_packets", "-of", "csv=p=0", file});
    std::map<std::string, int> counts;
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
        auto comma = line.find(',');
        if (comma != std::string::npos) counts[line.substr(0, comma)] = std::atoi(line.c_str() + comma + 1);
    }
    return counts;
}

std::string url(const TestServer& server, const std::string& portKey, const std::string& host,
                const std::string& stream) {
    return "rtmps://" + host + ":" + std::to_string(server.port(portKey)) + "/live/" + stream;
}

struct PublishCase {
    const char* name;
    const char* portKey;
    const char* host;
};

void PrintTo(const PublishCase& c, std::ostream* os) { *os << c.name; }

class RTMPSPublishTest : public ::testing::TestWithParam<PublishCase> {};

// Every packet the publisher reported sent is in the server's recording, and it decodes cleanly:
// nothing lost in the tunnel, nothing cut off by the close.
TEST_P(RTMPSPublishTest, RecordingHoldsEveryFrameSent) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    const std::string stream = kntest::uniqueName("rtmps");
    Publisher publisher(url(*server, GetParam().portKey, GetParam().host, stream));
    ASSERT_TRUE(publisher.connect()) << "failures: " << publisher.reports->failureList().size();
    publisher.feed(0, media().frames.size());
    ASSERT_TRUE(waitFor([&] { return publisher.manager->queueLoad() == 0; }, 20s));
    publisher.close();
    const int sent = publisher.reports->sent;  // final: the close ran after every send block

    const std::string file = server->waitForRecording(stream);
    ASSERT_FALSE(file.empty()) << "no finished recording of " << stream;
    auto counts = packetCounts(file);
    EXPECT_EQ(counts["video"] + counts["audio"], sent) << counts["video"] << " video, " << counts["audio"]
                                                      << " audio of " << media().frames.size() << " fed";
    EXPECT_EQ(sent, static_cast<int>(media().frames.size()));
    EXPECT_EQ(publisher.reports->dropped, 0);
    auto decode = kntest::decodeErrors(file);
    EXPECT_EQ(decode.exitCode, 0);
    EXPECT_EQ(decode.output, "");
    EXPECT_TRUE(publisher.reports->failureList().empty());
}

INSTANTIATE_TEST_SUITE_P(TLSFronts, RTMPSPublishTest,
                         ::testing::Values(PublishCase{"TLS13", "TLS_PORT", "localhost"},
                                           PublishCase{"TLS12Only", "RTMPS_PORT", "localhost"},
                                           PublishCase{"TLS13Only", "TLS13_PORT", "localhost"},
                                           PublishCase{"IPv6ByName", "TLS_PORT", "kn-ipv6.test"}),
                         [](const auto& info) { return std::string(info.param.name); });

// An impostor is a failed connect (30003 "Failed to connect to server"), the reason is in the log,
// and no RTMP reaches the server behind it.
TEST(RTMPSRefusal, ServersThatCannotProveTheirNameAreRefused) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    struct Case {
        const char* portKey;
        const char* logged;
    };
    for (const Case& c : {Case{"TLS_UNTRUSTED_PORT", "issuer is unknown"}, Case{"TLS_SELFSIGNED_PORT", "NOT trusted"},
                          Case{"TLS_WRONGHOST_PORT", "does not match"}}) {
        SCOPED_TRACE(c.portKey);
        const std::string stream = kntest::uniqueName("impostor");
        Publisher publisher(url(*server, c.portKey, "localhost", stream));
        testing::internal::CaptureStderr();
        bool connected = publisher.connect();
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_FALSE(connected);
        auto failures = publisher.reports->failureList();
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].first, 30003);
        EXPECT_EQ(failures[0].second, "Failed to connect to server");
        EXPECT_NE(log.find("TLS failed: certificate of localhost not accepted"), std::string::npos) << log;
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        publisher.close();
        EXPECT_FALSE(fs::exists(server->recordingPath(stream)));
    }
}

// A TCP relay in front of the TLS front that can drop the connection like a crashed server.
class Relay {
public:
    explicit Relay(int upstreamPort)
        : server_(AF_INET, [this, upstreamPort](int down, const std::atomic<bool>&) {
              sockaddr_in a{};
              a.sin_family = AF_INET;
              a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
              a.sin_port = htons(static_cast<uint16_t>(upstreamPort));
              const int up = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
              if (connect(up, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) LoopbackServer::relay(down, up, cut_);
              ::close(up);
              linger reset{1, 0};  // gone without a goodbye, as a crashed server
              setsockopt(down, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
          }) {}
    ~Relay() { cut(); }
    int port() const { return server_.port(); }
    void cut() { cut_ = true; }

private:
    std::atomic<bool> cut_{false};
    LoopbackServer server_;  // last: its threads use cut_
};

// The server vanishes mid-stream: the loss is reported once (one disconnect, at most the one
// failed write before it), no signal kills the process (SIGPIPE keeps its default action here),
// and the publisher closes cleanly afterwards.
TEST(RTMPSConnectionLoss, ServerVanishingMidStreamIsReportedOnce) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    Relay relay(server->port("TLS_PORT"));
    Publisher publisher("rtmps://127.0.0.1:" + std::to_string(relay.port()) + "/live/" +
                        kntest::uniqueName("vanish"));
    ASSERT_TRUE(publisher.connect());
    const size_t half = media().frames.size() / 2;
    publisher.feed(0, half);
    ASSERT_TRUE(waitFor([&] { return publisher.manager->queueLoad() == 0; }, 20s));
    relay.cut();
    publisher.feed(half, media().frames.size());
    EXPECT_TRUE(waitFor([&] { return publisher.reports->disconnects > 0; }, 20s));
    ASSERT_TRUE(waitFor([&] { return publisher.manager->queueLoad() <= 0; }, 20s));
    publisher.close();
    EXPECT_EQ(publisher.reports->disconnects, 1);
    auto failures = publisher.reports->failureList();
    EXPECT_LE(failures.size(), 1u);
    for (const auto& [code, message] : failures) {
        EXPECT_EQ(code, 30003);
        EXPECT_EQ(message, "Connection to server lost");
    }
}

}  // namespace
