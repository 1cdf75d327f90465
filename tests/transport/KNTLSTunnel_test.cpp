// The TLS tunnel against a GnuTLS server run by the test on loopback, with a CA made per process
// and trusted through SSL_CERT_FILE.
#include "transport/KNTLSTunnel.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/TestTLSServer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path certDir() {
    static const fs::path dir = fs::path(KESTRUNE_TEST_TMP) / ("tls-tunnel-" + std::to_string(getpid()));
    return dir;
}

class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        kntest::makeTestCertificates(certDir());
        // Read once, at the first handshake of the process.
        setenv("SSL_CERT_FILE", (certDir() / "ca.pem").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(certDir()); }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new Environment);

using ServerOptions = kntest::TestTLSServerOptions;
using kntest::TestTLSServer;

ServerOptions serverOptions() {
    ServerOptions options;
    options.certDir = certDir();
    return options;
}

std::vector<unsigned char> randomBytes(size_t n, unsigned seed) {
    std::vector<unsigned char> data(n);
    std::mt19937 gen(seed);
    for (auto& b : data) b = static_cast<unsigned char>(gen());
    return data;
}

// Writes everything to fd like the RTMP library does (plain send, SIGPIPE blocked in the thread).
bool sendAll(int fd, const unsigned char* data, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, data, n, 0);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void blockSigpipe() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::unique_ptr<KNTLSTunnel> openTo(const TestTLSServer& server, const std::string& host, std::string& reason,
                                    int timeoutSeconds = 5) {
    return KNTLSTunnel::open(server.connectClient(), host, timeoutSeconds, reason);
}

// Sends `data` through the tunnel while reading the echo back; returns what came back.
std::vector<unsigned char> echoThrough(KNTLSTunnel& tunnel, const std::vector<unsigned char>& data) {
    int fd = tunnel.applicationFd();
    std::thread writer([&] {
        blockSigpipe();
        // Uneven pieces, as RTMP chunks arrive.
        for (size_t off = 0, piece = 1; off < data.size(); piece = piece * 7 % 20011 + 1) {
            size_t n = std::min(piece, data.size() - off);
            if (!sendAll(fd, data.data() + off, n)) break;
            off += n;
        }
    });
    std::vector<unsigned char> back;
    back.reserve(data.size());
    unsigned char buf[8192];
    while (back.size() < data.size()) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 10000) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        back.insert(back.end(), buf, buf + n);
    }
    writer.join();
    return back;
}

struct EchoCase {
    const char* name;
    std::string family;
    std::string host;
    std::string priority;
    std::string expectedProtocol;
};

void PrintTo(const EchoCase& c, std::ostream* os) { *os << c.name; }

class KNTLSTunnelEchoTest : public ::testing::TestWithParam<EchoCase> {};

// Both directions at once, megabytes each way, with the server asking for key updates on the way:
// nothing may be lost, reordered or corrupted, and SNI goes out for names only.
TEST_P(KNTLSTunnelEchoTest, CarriesBothDirectionsIntact) {
    const EchoCase& c = GetParam();
    ServerOptions options = serverOptions();
    options.family = c.family;
    options.priority = c.priority;
    options.keyUpdateEveryBytes = 1024 * 1024;  // GnuTLS refuses more than 8 a second
    TestTLSServer server(options);

    std::string reason;
    auto tunnel = openTo(server, c.host, reason);
    ASSERT_TRUE(tunnel) << reason;
    EXPECT_EQ(tunnel->protocolName(), c.expectedProtocol);

    auto data = randomBytes(6 * 1024 * 1024 + 17, 1);
    auto back = echoThrough(*tunnel, data);
    ASSERT_EQ(back.size(), data.size()) << tunnel->failureReason() << " server:" << [&]{ auto r = server.waitForConnections(1); return r[0].bytes; }();
    EXPECT_TRUE(back == data) << "echo differs";

    ::close(tunnel->applicationFd());
    ASSERT_TRUE(tunnel->waitFinished(10000));
    EXPECT_EQ(tunnel->failureReason(), "");
    auto records = server.waitForConnections(1);
    EXPECT_TRUE(records[0].cleanClose);
    EXPECT_EQ(records[0].serverName, c.host == "localhost" ? "localhost" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Servers, KNTLSTunnelEchoTest,
    ::testing::Values(
        EchoCase{"TLS13ByName", "127.0.0.1", "localhost", "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2", "TLS1.3"},
        EchoCase{"TLS13OnlyOverIPv6Literal", "::1", "::1", "NORMAL:-VERS-ALL:+VERS-TLS1.3", "TLS1.3"},
        EchoCase{"TLS12OnlyOverIPv4Literal", "127.0.0.1", "127.0.0.1", "NORMAL:-VERS-ALL:+VERS-TLS1.2", "TLS1.2"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KNTLSTunnelTest, GivesUpOnServerThatNeverAnswers) {
    ServerOptions options = serverOptions();
    options.silent = true;
    TestTLSServer server(options);
    std::string reason;
    auto start = std::chrono::steady_clock::now();
    auto tunnel = openTo(server, "localhost", reason, 1);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(tunnel);
    EXPECT_NE(reason.find("timed out"), std::string::npos) << reason;
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 5s);
}

// Media the plain end has accepted must reach the server before the TLS close, however the tunnel
// is closed: by the library closing its socket, or by close() while the socket is still open.
TEST(KNTLSTunnelTest, ClosingDeliversEverythingAcceptedThenTheTLSClose) {
    for (bool libraryCloses : {true, false}) {
        SCOPED_TRACE(libraryCloses ? "library closes its end" : "close() with the end still open");
        ServerOptions options = serverOptions();
        options.echo = false;
        TestTLSServer server(options);
        std::string reason;
        auto tunnel = openTo(server, "localhost", reason);
        ASSERT_TRUE(tunnel) << reason;
        auto data = randomBytes(3 * 1024 * 1024 + 5, 2);
        ASSERT_TRUE(sendAll(tunnel->applicationFd(), data.data(), data.size()));
        if (libraryCloses) {
            ::close(tunnel->applicationFd());
            ASSERT_TRUE(tunnel->waitFinished(10000));
        } else {
            tunnel->close();
            // The library's next write fails instead of hanging.
            blockSigpipe();
            EXPECT_LT(send(tunnel->applicationFd(), "x", 1, 0), 0);
            ::close(tunnel->applicationFd());
        }
        EXPECT_EQ(tunnel->failureReason(), "");
        auto records = server.waitForConnections(1);
        EXPECT_EQ(records[0].bytes, data.size());
        EXPECT_TRUE(records[0].cleanClose);
    }
}

// A server that stops reading pushes back on the library within about the socket buffers: the
// tunnel holds no growing backlog of its own. Once the server reads again, everything arrives.
TEST(KNTLSTunnelTest, StalledServerPushesBackAndLosesNothing) {
    std::promise<void> resume;
    ServerOptions options = serverOptions();
    options.echo = false;
    options.startReading = resume.get_future().share();
    options.tcpBufferBytes = 32 * 1024;
    TestTLSServer server(options);
    std::string reason;
    auto tunnel = openTo(server, "localhost", reason);
    ASSERT_TRUE(tunnel) << reason;

    const int fd = tunnel->applicationFd();
    auto chunk = randomBytes(4096, 4);
    size_t accepted = 0;
    constexpr size_t kLimitBytes = 64 * 1024 * 1024;
    while (accepted < kLimitBytes) {
        ssize_t n = send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            accepted += static_cast<size_t>(n);
            continue;
        }
        ASSERT_TRUE(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
        pollfd pfd{fd, POLLOUT, 0};
        if (poll(&pfd, 1, 500) == 0) break;  // nothing moves any more: the server holds it all up
    }
    EXPECT_LT(accepted, 1024u * 1024u);

    resume.set_value();
    ::close(fd);
    ASSERT_TRUE(tunnel->waitFinished(10000));
    auto records = server.waitForConnections(1);
    EXPECT_EQ(records[0].bytes, accepted);
    EXPECT_TRUE(records[0].cleanClose);
}

// Several connections set up at once share the trust store loaded by whichever comes first.
TEST(KNTLSTunnelTest, ConcurrentTunnelsAreIndependent) {
    TestTLSServer server(serverOptions());
    constexpr int kTunnels = 8;
    std::vector<std::thread> clients;
    std::atomic<int> intact{0};
    for (int i = 0; i < kTunnels; ++i) {
        clients.emplace_back([&, i] {
            std::string reason;
            auto tunnel = openTo(server, "localhost", reason);
            if (!tunnel) return;
            auto data = randomBytes(256 * 1024, 10 + static_cast<unsigned>(i));
            if (echoThrough(*tunnel, data) == data) ++intact;
            tunnel->close();
            ::close(tunnel->applicationFd());
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(intact, kTunnels);
    for (const auto& record : server.waitForConnections(kTunnels)) EXPECT_TRUE(record.cleanClose);
}

}  // namespace
