#include <gnutls/gnutls.h>
#include <signal.h>

#include <filesystem>

#include <optional>
#include <tuple>

#include <librtmp/log.h>

#include "KNRTMPSessionStandIn.h"
#include "support/FullListener.h"
#include "support/LoopbackServer.h"
#include "support/TlsServerSession.h"
#include "support/Socks4Relay.h"
#include "support/TestMedia.h"
#include "support/TestServer.h"
#include "core/KNLog.h"
#include "kestrune/KNStreamInfo.h"
#include "transport/KNRTMPManager.h"
#include "transport/KNServerPath.h"

namespace {

using namespace kntest;

struct Publisher {
    std::shared_ptr<Recorder> events = std::make_shared<Recorder>();
    std::shared_ptr<KNRTMPManager> manager = KNRTMPManager::create();

    Publisher(std::optional<std::string> url, uint64_t timeoutSeconds, std::shared_ptr<const KNMetadata> metadata) {
        manager->setDelegate(events);
        manager->setConnectionURL(std::move(url));
        manager->setTimeout(timeoutSeconds);
        manager->setMetadata(std::move(metadata));
    }
    bool connect() {
        const auto before = std::pair(events->count(events->connects), events->errorList().size());
        manager->establishConnection();
        events->waitUntil([&] { return events->connects > before.first || events->errors.size() > before.second; }, 45s);
        return events->count(events->connects) > before.first;
    }
    bool feed(const TestMediaFrame& frame, uint64_t offsetMs) {  // whether it was taken
        const int drops = events->count(events->drops);
        handOver(*manager, frame, kClockBaseMs + offsetMs + frame.timestampMs);
        return events->count(events->drops) == drops;
    }
    void feedAll(const TestMedia& media, uint64_t offsetMs = 0, const std::function<void()>& halfway = {}) {
        for (const auto& frame : media.frames) {
            if (halfway && &frame == &media.frames[media.frames.size() / 2]) halfway();
            ASSERT_TRUE(waitFor([&] { return manager->queueLoad() < kMaxQueueLoad / 2; }, 30s));
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

// Completes the handshake, then sends a window size every 2 s and never answers the connect.
void trickle(int client, const std::atomic<bool>& stopping) {
    std::vector<uint8_t> c0c1(1537);
    std::vector<uint8_t> reply(1 + 2 * 1536);
    std::vector<uint8_t> c2(1536);
    if (LoopbackServer::readExactly(client, c0c1.data(), c0c1.size()) != c0c1.size()) return;
    reply[0] = 3;
    std::copy(c0c1.begin() + 1, c0c1.end(), reply.begin() + 1 + 1536);
    LoopbackServer::writeAll(client, reply.data(), reply.size());
    LoopbackServer::readExactly(client, c2.data(), c2.size());
    const uint8_t windowSize[] = {0x02, 0, 0, 0, 0, 0, 4, 0x05, 0, 0, 0, 0, 0, 0x26, 0x25, 0xA0};
    while (!stopping && LoopbackServer::writeAll(client, windowSize, sizeof windowSize)) {
        waitFor([&] { return stopping.load(); }, 2s);
    }
}

// TLS in front of the fixture's plain RTMP port. Once the client's close_notify has come, it sends a
// record every 100 ms and never closes its side.
void relayThenTrickle(int client, const std::atomic<bool>& stopping, int upstreamPort,
                      gnutls_certificate_credentials_t credentials) {
    int r = 0;
    gnutls_session_t s = kntest::acceptTls(client, credentials, &r);
    const int upstream = LoopbackServer::connectTo(AF_INET, upstreamPort);
    uint8_t buffer[16384];
    bool closeNotified = false;
    for (pollfd p[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}}; r == 0 && !stopping && !closeNotified;) {
        const bool pending = gnutls_record_check_pending(s) > 0;
        if (!pending && poll(p, 2, 20) <= 0) continue;
        if (pending || p[0].revents) {
            const ssize_t n = gnutls_record_recv(s, buffer, sizeof buffer);
            closeNotified = n == 0;
            if (n > 0 && !LoopbackServer::writeAll(upstream, buffer, size_t(n))) break;
            if (n < 0 && gnutls_error_is_fatal(int(n))) break;
        }
        if (p[1].revents) {
            const ssize_t n = recv(upstream, buffer, sizeof buffer, 0);
            if (n <= 0 || gnutls_record_send(s, buffer, size_t(n)) < 0) break;
        }
    }
    while (closeNotified && !stopping && gnutls_record_send(s, "x", 1) == 1) {
        waitFor([&] { return stopping.load(); }, 100ms);
    }
    close(upstream);
    gnutls_deinit(s);
}

const TestMedia& clip() {
    static const TestMedia media = scratchMedia("clip");
    return media;
}

class KNRTMPManagerE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server = TestServer::shared());
        // Read at the first handshake; private servers share the fixture's CA.
        setenv("SSL_CERT_FILE", server->value("CA_FILE").c_str(), 1);
    }
    std::shared_ptr<TestServer> server;
};

// On the first route a second establish comes halfway.
TEST_F(KNRTMPManagerE2E, EveryRoutePublishesEveryFrame) {
    Socks4Relay relay(AF_INET6, Socks4Relay::Reply::GrantInTwoParts);
    const auto ipv6Host = server->value("IPV6_HOST");
    const auto socks = " socks=" + ipv6Host + ":" + std::to_string(relay.port());
    const std::tuple<std::string, const char*, std::string> routes[] = {
        {"127.0.0.1", "RTMP_PORT", ""}, {ipv6Host, "RTMP_PORT", ""}, {"localhost", "RTMP_PORT", socks},
        {"127.0.0.1", "RTMPS_PORT", ""},  // TLS 1.2 only
        {"localhost", "TLS_PORT", ""}, {"localhost", "TLS13_PORT", ""}, {ipv6Host, "TLS_PORT", ""}};
    for (const auto& [host, portKey, options] : routes) {
        const bool first = &host == &std::get<0>(routes[0]);
        const auto stream = uniqueName("route"), url = server->url(stream, host, portKey) + options;
        SCOPED_TRACE(url);
        Publisher publisher(url, 10, clip().metadata());
        ASSERT_TRUE(publisher.connect()) << publisher.events->story();
        publisher.feedAll(clip(), 0, [&] { if (first) publisher.manager->establishConnection(); });
        ASSERT_TRUE(publisher.close());
        EXPECT_EQ(publisher.events->story(), first ? "connect; fail 30001; close; " : "connect; close; ");
        expectRecording(server->waitForRecording(stream), clip(), clip().videoFrames, clip().audioFrames);
    }
    EXPECT_EQ(relay.requests().size(), 1u);
}

// A record with the secure flag publishes over TLS, a custom URL over plain RTMP; credentials that
// hold URL delimiters reach the right server and no log line, and a library log level the host set
// after the first connect stays.
TEST_F(KNRTMPManagerE2E, CredentialsReachTheServerAndNoLogLine) {
    const std::string user = "al:ce/@";
    const std::string password = "p@ss w\\o@rd";
    const auto secureStream = uniqueName("credentials");
    const auto plainStream = uniqueName("credentials");
    auto secure = KNStreamInfo::secureStreamInfo();
    secure->setServerAddress("localhost:" + server->value("TLS_PORT"));
    secure->setApplicationName("live");
    secure->setStreamName(secureStream);
    secure->setUsername(user);
    secure->setPassword(password);
    auto custom = KNStreamInfo::streamInfo();
    custom->setCustomStreamURLString("rtmp://alice:" + password + "@127.0.0.1:" + server->value("RTMP_PORT") + "/live/" +
                                     plainStream);

    KNLog::sharedInstance()->setLogLevel(KNLogLevelInfo);
    testing::internal::CaptureStderr();
    for (const auto& [record, stream] : {std::pair{custom, plainStream}, {secure, secureStream}}) {
        Publisher publisher(KNServerPath::serverPath()->rtmpPathFromStreamInfo(record), 10, clip().metadata());
        EXPECT_TRUE(publisher.connect()) << publisher.events->story();
        if (record == custom) RTMP_LogSetLevel(RTMP_LOGWARNING);
        publisher.feedAll(clip());
        EXPECT_TRUE(publisher.close());
        expectRecording(server->waitForRecording(stream), clip(), clip().videoFrames, clip().audioFrames);
    }
    const auto logged = testing::internal::GetCapturedStderr();
    KNLog::sharedInstance()->setLogLevel(KNLogLevelNone);
    EXPECT_EQ(RTMP_LogGetLevel(), RTMP_LOGWARNING);
    for (const std::string secret : {"al:ce", "p@ss", "w\\o@rd"}) {
        EXPECT_EQ(logged.find(secret), std::string::npos) << secret << " in:\n" << logged;
    }
}

std::atomic<int> hostLogLines{0};
void hostLogCallback(int, const char*, va_list) { ++hostLogLines; }

// What the host gave the library before the first connect (this process's) stays after it.
TEST_F(KNRTMPManagerE2E, LibraryLogSettingsTheHostMadeBeforeTheFirstConnectStay) {
    RTMP_LogSetLevel(RTMP_LOGDEBUG);
    RTMP_LogSetCallback(&hostLogCallback);
    Publisher publisher(server->url(uniqueName("host-log")), 10, clip().metadata());
    ASSERT_TRUE(publisher.connect()) << publisher.events->story();
    EXPECT_TRUE(publisher.close());
    EXPECT_EQ(RTMP_LogGetLevel(), RTMP_LOGDEBUG);
    const int afterFirst = hostLogLines.load();
    EXPECT_GT(afterFirst, 0);
    ASSERT_TRUE(publisher.connect()) << publisher.events->story();
    EXPECT_TRUE(publisher.close());
    EXPECT_GT(hostLogLines.load(), afterFirst);
}

TEST_F(KNRTMPManagerE2E, FailedConnectsAreReportedAndThePublisherConnectsAfterwards) {
    LoopbackServer trickling(AF_INET, trickle);
    FullListener full;
    const auto at = [](int port) { return "rtmp://127.0.0.1:" + std::to_string(port) + "/live/x"; };
    const auto tls = [&](const char* portKey) { return server->url("refused", "localhost", portKey); };
    const std::tuple<std::optional<std::string>, uint64_t, std::chrono::seconds> cases[] = {
        {std::nullopt, 5, 0s}, {at(LoopbackServer::unusedPort()), 5, 0s},
        {at(full.port), 3, 3s}, {at(trickling.port()), 3, 3s},
        {tls("TLS_UNTRUSTED_PORT"), 5, 0s}, {tls("TLS_SELFSIGNED_PORT"), 5, 0s}, {tls("TLS_WRONGHOST_PORT"), 5, 0s}};
    for (const auto& [url, timeout, takes] : cases) {
        SCOPED_TRACE(url.value_or("no URL"));
        Publisher publisher(url, timeout, nullptr);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(publisher.connect());
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(publisher.events->story(), url ? "fail 30003; " : "fail 30000; ");
        EXPECT_TRUE(took > takes - 500ms && took < takes + 10s) << (took / 1ms) << " ms";
        publisher.manager->setConnectionURL(server->url(uniqueName("afterwards")));
        EXPECT_TRUE(publisher.connect()) << publisher.events->story();
        EXPECT_TRUE(publisher.close());
    }
}

// The close of an RTMPS connection ends within the time-out while the server keeps talking and
// never closes its side, and the publisher connects again afterwards.
TEST_F(KNRTMPManagerE2E, ATLSCloseEndsWithinTheTimeOutWhenTheServerNeverAnswersIt) {
    const auto tls = std::filesystem::path(server->value("CA_FILE")).parent_path();
    gnutls_certificate_credentials_t credentials;
    gnutls_certificate_allocate_credentials(&credentials);
    const int loaded = gnutls_certificate_set_x509_key_file(credentials, (tls / "server.pem").c_str(),
                                                            (tls / "key.pem").c_str(), GNUTLS_X509_FMT_PEM);
    EXPECT_EQ(loaded, 0);
    if (loaded == 0) {
        LoopbackServer trickling(AF_INET, [&](int client, const std::atomic<bool>& stopping) {
            relayThenTrickle(client, stopping, server->rtmpPort(), credentials);
        });
        Publisher publisher("rtmps://127.0.0.1:" + std::to_string(trickling.port()) + "/live/" + uniqueName("close"), 2,
                            clip().metadata());
        for (int round = 0; round < 2; ++round) {
            ASSERT_TRUE(publisher.connect()) << publisher.events->story();
            publisher.feedAll(clip());
            const auto start = std::chrono::steady_clock::now();
            EXPECT_TRUE(publisher.close());
            const auto took = std::chrono::steady_clock::now() - start;
            EXPECT_LT(took, 4s) << (took / 1ms) << " ms";
        }
        EXPECT_EQ(publisher.events->story(), "connect; close; connect; close; ");
    }
    gnutls_certificate_free_credentials(credentials);
}

// Letting go of a publisher whose server died writes to the dead connection from this thread.
TEST_F(KNRTMPManagerE2E, KilledAndStalledServers) {
    const auto media = scratchMedia("stall", {.width = 640, .height = 360, .videoBitrateKbps = 6000});
    auto server = TestServer::startPrivate(std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("server"));
    ASSERT_TRUE(server);
    Publisher publisher(std::nullopt, 10, media.metadata());
    const auto killWorkers = [&] {
        const auto workers = server->workerPids();
        for (pid_t pid : workers) kill(pid, SIGKILL);
        return waitFor([&] { return !server->workerPids().empty() && server->workerPids() != workers; }, 20s);
    };
    const auto disconnects = [&] { return publisher.events->count(publisher.events->disconnects); };
    uint64_t offset = 0;
    for (const char* portKey : {"RTMP_PORT", "TLS_PORT"}) {
        SCOPED_TRACE(portKey);
        publisher.manager->setConnectionURL(server->url(uniqueName("killed"), "127.0.0.1", portKey));
        ASSERT_TRUE(publisher.connect()) << publisher.events->story();
        const int before = disconnects();
        publisher.feedAll(media, offset);
        ASSERT_TRUE(killWorkers());
        for (int loop = 0; loop < 20 && disconnects() == before; ++loop) publisher.feedAll(media, offset += media.spanMs);
        publisher.feedAll(media, offset += media.spanMs);
        EXPECT_EQ(publisher.manager->queueLoad(), 0);
        EXPECT_EQ(disconnects(), before + 1);
    }

    auto pids = server->workerPids();
    pids.push_back(server->port("NGINX_PID"));

    // Stalled with a 3 s time-out: the stuck write fails, the loss is reported, a close reports while
    // the server is still stopped, and once it runs again a new connection works.
    publisher.manager->setTimeout(3);
    for (const char* portKey : {"RTMP_PORT", "TLS_PORT"}) {
        SCOPED_TRACE(portKey);
        publisher.manager->setConnectionURL(server->url(uniqueName("stalled"), "127.0.0.1", portKey));
        ASSERT_TRUE(publisher.connect()) << publisher.events->story();
        const size_t errors = publisher.events->errorList().size();
        for (pid_t pid : pids) kill(pid, SIGSTOP);
        const auto stopped = std::chrono::steady_clock::now();
        const bool lost = waitFor([&] {
            for (const auto& frame : media.frames) publisher.feed(frame, offset);
            offset += media.spanMs;
            return publisher.events->errorList().size() > errors;
        }, 30s);
        const auto took = std::chrono::steady_clock::now() - stopped;
        const int closes = publisher.events->count(publisher.events->closes);
        publisher.manager->closeConnection();
        const bool closed = publisher.events->waitFor(publisher.events->closes, closes + 1, 15s);
        for (pid_t pid : pids) kill(pid, SIGCONT);
        EXPECT_TRUE(lost);
        EXPECT_LT(took, 6s) << (took / 1ms) << " ms";
        EXPECT_TRUE(closed);
        EXPECT_EQ(publisher.events->errorList().back().first, 30003);
        ASSERT_TRUE(publisher.connect()) << publisher.events->story();
        ASSERT_TRUE(publisher.close());
    }

    ASSERT_TRUE(publisher.connect());
    publisher.manager->senderQueue()->sync([] {});
    ASSERT_TRUE(killWorkers());
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    publisher.manager.reset();
}

}  // namespace
