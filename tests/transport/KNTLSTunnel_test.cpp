// The TLS tunnel against a GnuTLS server on loopback. The CA is made per process and trusted only
// through SSL_CERT_DIR, a list whose first folder is missing: every handshake here depends on it.
#include "transport/KNTLSTunnel.h"

#include <gnutls/gnutls.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <random>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "support/LoopbackServer.h"

namespace {

using namespace std::chrono_literals;
using kntest::LoopbackServer;
const std::string certDir = KESTRUNE_TEST_TMP "/tls-tunnel-" + std::to_string(getpid());

class Environment : public ::testing::Environment {
    void SetUp() override {
        const std::string req = "cd " + certDir + " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                                "-nodes -days 2 ";
        std::filesystem::create_directories(certDir + "/trusted");
        for (const std::string& command :
             {req + "-subj /CN=ca -keyout ca.key -out trusted/ca.pem",
              req + "-CA trusted/ca.pem -CAkey ca.key -keyout server.key -out server.pem -subj /CN=localhost "
                    "-addext subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1 -addext basicConstraints=CA:FALSE"})
            ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
        unsetenv("SSL_CERT_FILE");
        setenv("SSL_CERT_DIR", (certDir + "/missing:" + certDir + "/trusted").c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(certDir); }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new Environment);

struct Connection {
    std::string serverName;  // SNI, empty when none came
    size_t bytes = 0;
    bool cleanClose = false;  // the client's close_notify arrived
};

// Serves one connection, blocking: echoes it and asks for a key update every megabyte (GnuTLS allows
// 8 a second); or, when given `stalledUntil`, reads nothing until then, echoes nothing and keeps small
// TCP buffers on both ends, to show back-pressure.
class TLSServer {
public:
    explicit TLSServer(int family, std::shared_future<void> stalledUntil = {})
        : family_(family), stalledUntil_(std::move(stalledUntil)),
          server_(family, [this](int fd, const std::atomic<bool>&) { serve(fd); }) {}

    std::unique_ptr<KNTLSTunnel> open(const std::string& host, std::string& reason) const {
        return KNTLSTunnel::open(withBuffers(LoopbackServer::connectTo(family_, server_.port())), host, 5, reason);
    }
    Connection ended() {
        EXPECT_EQ(ended_.wait_for(20s), std::future_status::ready);
        return ended_.get();
    }

private:
    int withBuffers(int fd) const {
        const int bytes = 32 << 10;
        for (int option : {SO_SNDBUF, SO_RCVBUF})
            if (stalledUntil_.valid()) setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes);
        return fd;
    }

    void serve(int fd) {
        static const auto [credentials, ticketKey] = [] {  // kept for the process
            gnutls_certificate_credentials_t c;
            gnutls_certificate_allocate_credentials(&c);
            EXPECT_EQ(gnutls_certificate_set_x509_key_file(c, (certDir + "/server.pem").c_str(),
                                                           (certDir + "/server.key").c_str(), GNUTLS_X509_FMT_PEM),
                      0);
            gnutls_datum_t key;
            gnutls_session_ticket_key_generate(&key);
            return std::pair(c, key);
        }();
        Connection record;
        gnutls_session_t s;
        gnutls_init(&s, GNUTLS_SERVER | GNUTLS_NO_SIGNAL);
        gnutls_priority_set_direct(s, "NORMAL", nullptr);
        gnutls_credentials_set(s, GNUTLS_CRD_CERTIFICATE, credentials);
        gnutls_session_ticket_enable_server(s, &ticketKey);  // TLS 1.3 tickets follow the handshake
        gnutls_transport_set_int(s, withBuffers(fd));
        int r;
        do r = gnutls_handshake(s);
        while (r < 0 && !gnutls_error_is_fatal(r));
        char name[256];
        size_t nameBytes = sizeof name;
        unsigned type;
        if (r == 0 && gnutls_server_name_get(s, name, &nameBytes, &type, 0) == 0) record.serverName = name;
        if (r == 0 && stalledUntil_.valid()) stalledUntil_.wait_for(20s);
        std::vector<char> buf(16384);
        for (size_t sinceKeyUpdate = 0; r == 0;) {
            const ssize_t n = gnutls_record_recv(s, buf.data(), buf.size());
            if (n < 0 && !gnutls_error_is_fatal(static_cast<int>(n))) continue;
            record.cleanClose = n == 0;
            if (n <= 0) break;
            record.bytes += static_cast<size_t>(n);
            for (ssize_t done = 0, w = 0; !stalledUntil_.valid() && done < n && w >= 0; done += std::max<ssize_t>(w, 0))
                w = gnutls_record_send(s, buf.data() + done, static_cast<size_t>(n - done));
            if ((sinceKeyUpdate += static_cast<size_t>(n)) >= 1u << 20) {
                sinceKeyUpdate = 0;
                EXPECT_EQ(gnutls_session_key_update(s, GNUTLS_KU_PEER), 0);
            }
        }
        gnutls_deinit(s);
        record_.set_value(record);
    }

    const int family_;
    const std::shared_future<void> stalledUntil_;
    std::promise<Connection> record_;
    std::future<Connection> ended_ = record_.get_future();
    LoopbackServer server_;  // last: its threads use the members above
};

// Megabytes both ways at once, in uneven pieces as RTMP chunks go, the server asking for key updates
// on the way, through tunnels opened together (sharing the trust store the first one loads): nothing
// lost or corrupted, SNI for names only.
TEST(KNTLSTunnelTest, CarriesBothDirectionsAtOnce) {
    std::vector<std::thread> clients;
    for (auto [family, host, serverName] : {std::tuple{AF_INET, "localhost", "localhost"},
                                            std::tuple{AF_INET, "127.0.0.1", ""}, std::tuple{AF_INET6, "::1", ""}}) {
        clients.emplace_back([=] {
            SCOPED_TRACE(host);
            TLSServer server(family);
            std::string reason;
            auto tunnel = server.open(host, reason);
            ASSERT_TRUE(tunnel) << reason;
            const int fd = tunnel->applicationFd();
            std::vector<uint8_t> data(4 << 20), back(data.size());
            std::generate(data.begin(), data.end(), [gen = std::mt19937(family)]() mutable { return uint8_t(gen()); });
            std::thread writer([&] {
                for (size_t off = 0, piece = 1, n; off < data.size(); off += n, piece = piece * 7 % 20011 + 1)
                    if (!LoopbackServer::writeAll(fd, data.data() + off, n = std::min(piece, data.size() - off))) break;
            });
            back.resize(LoopbackServer::readExactly(fd, back.data(), back.size()));
            writer.join();
            EXPECT_TRUE(back == data) << back.size() << " bytes back; " << tunnel->failureReason();
            ::close(fd);
            ASSERT_TRUE(tunnel->waitFinished(10000));
            EXPECT_EQ(tunnel->failureReason(), "");
            const Connection record = server.ended();
            EXPECT_TRUE(record.cleanClose);
            EXPECT_EQ(record.serverName, serverName);
        });
    }
    for (auto& t : clients) t.join();
}

TEST(KNTLSTunnelTest, GivesUpOnAServerThatNeverAnswers) {
    LoopbackServer silent(AF_INET, [](int fd, const std::atomic<bool>&) {
        uint8_t hello[4096];
        LoopbackServer::readExactly(fd, hello, sizeof hello);  // until the client hangs up
    });
    std::string reason;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(KNTLSTunnel::open(LoopbackServer::connectTo(AF_INET, silent.port()), "localhost", 1, reason));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_NE(reason.find("timed out"), std::string::npos) << reason;
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 5s);
}

// A stalled server pushes back on the library within about the socket buffers: the tunnel keeps no
// growing backlog. However the tunnel is then closed (the library closing its end, or close() with
// the end still open), all it accepted reaches the server, then the TLS close.
TEST(KNTLSTunnelTest, StalledServerPushesBackAndClosingLosesNothing) {
    for (bool libraryCloses : {true, false}) {
        SCOPED_TRACE(libraryCloses ? "library closes its end" : "close() with the end open");
        std::promise<void> resume;
        TLSServer server(AF_INET, resume.get_future().share());
        std::string reason;
        auto tunnel = server.open("localhost", reason);
        ASSERT_TRUE(tunnel) << reason;
        const int fd = tunnel->applicationFd();
        const uint8_t chunk[4096] = {};
        size_t accepted = 0;
        // Until nothing moves for half a second.
        for (pollfd p{fd, POLLOUT, 0}; accepted < (64u << 20) && poll(&p, 1, 500) > 0;) {
            const ssize_t n = send(fd, chunk, sizeof chunk, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) accepted += static_cast<size_t>(n);
            else ASSERT_EQ(errno, EAGAIN);
        }
        EXPECT_LT(accepted, 1u << 20);
        if (libraryCloses) ::close(fd);  // while the server still holds everything up
        resume.set_value();
        if (libraryCloses) {
            ASSERT_TRUE(tunnel->waitFinished(10000));
        } else {
            tunnel->close();
            EXPECT_LT(send(fd, "x", 1, MSG_NOSIGNAL), 0);  // the library's next write fails, not hangs
            ::close(fd);
        }
        EXPECT_EQ(tunnel->failureReason(), "");
        const Connection record = server.ended();
        EXPECT_EQ(record.bytes, accepted);
        EXPECT_TRUE(record.cleanClose);
    }
}

}  // namespace
