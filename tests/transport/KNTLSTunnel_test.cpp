// The TLS tunnel against a GnuTLS server run by the test on loopback, with a CA made per process
// and trusted through SSL_CERT_FILE.
#include "transport/KNTLSTunnel.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path certDir() {
    static const fs::path dir = fs::path(KESTRUNE_TEST_TMP) / ("tls-tunnel-" + std::to_string(getpid()));
    return dir;
}

void run(const std::string& command) {
    std::string full = "cd '" + certDir().string() + "' && " + command + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(full.c_str()), 0) << command;
}

// Trusted CA and its server certificate; an unknown CA's certificate; a self-signed one.
void makeCertificates() {
    fs::create_directories(certDir());
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    const std::string san = "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1";
    std::ofstream(certDir() / "server.ext") << san << "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n";
    for (std::string ca : {"ca", "other-ca"}) {
        run("openssl req -x509 " + key + " -keyout " + ca + ".key -out " + ca + ".pem -days 2 -subj /CN=" + ca +
            " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign");
        std::string leaf = ca == "ca" ? "server" : "untrusted";
        run("openssl req " + key + " -keyout " + leaf + ".key -out " + leaf + ".csr -subj /CN=localhost");
        run("openssl x509 -req -in " + leaf + ".csr -CA " + ca + ".pem -CAkey " + ca + ".key -CAcreateserial -out " +
            leaf + ".pem -days 2 -extfile server.ext");
    }
    run("openssl req -x509 " + key + " -keyout self.key -out self.pem -days 2 -subj /CN=localhost -addext " + san);
}

class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        makeCertificates();
        // Read once, at the first handshake of the process.
        setenv("SSL_CERT_FILE", (certDir() / "ca.pem").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(certDir()); }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new Environment);

struct ServerOptions {
    std::string family = "127.0.0.1";
    std::string priority = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";
    std::string cert = "server";
    bool echo = true;
    bool tickets = true;                 // TLS 1.3 servers hand out session tickets after the handshake
    size_t keyUpdateEveryBytes = 0;      // ask the client to update its keys too
    size_t vanishAfterBytes = 0;         // drop the TCP connection without a TLS close
    bool silent = false;                 // accept TCP and never answer
};

struct ConnectionRecord {
    std::string serverName;  // SNI as received, empty when none was sent
    size_t bytes = 0;
    bool handshakeDone = false;
    bool cleanClose = false;  // the client's close_notify arrived
};

// A GnuTLS server on a free loopback port; one thread per connection, blocking I/O.
class TestTLSServer {
public:
    explicit TestTLSServer(ServerOptions options) : options_(std::move(options)) {
        bool v6 = options_.family == "::1";
        listenFd_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage addr{};
        socklen_t len;
        if (v6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            len = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&addr);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *a;
        }
        EXPECT_EQ(bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), len), 0);
        EXPECT_EQ(listen(listenFd_, 16), 0);
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                         : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);

        gnutls_certificate_allocate_credentials(&credentials_);
        std::string base = (certDir() / options_.cert).string();
        EXPECT_EQ(gnutls_certificate_set_x509_key_file(credentials_, (base + ".pem").c_str(),
                                                       (base + ".key").c_str(), GNUTLS_X509_FMT_PEM),
                  0);
        gnutls_session_ticket_key_generate(&ticketKey_);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }

    ~TestTLSServer() {
        shutdown(listenFd_, SHUT_RDWR);
        acceptor_.join();
        for (auto& t : handlers_) t.join();
        ::close(listenFd_);
        gnutls_certificate_free_credentials(credentials_);
        gnutls_free(ticketKey_.data);
    }

    // A TCP socket connected to the server.
    int connectClient() const {
        bool v6 = options_.family == "::1";
        int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage addr{};
        socklen_t len;
        if (v6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            a->sin6_port = htons(port_);
            len = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&addr);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a->sin_port = htons(port_);
            len = sizeof *a;
        }
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
        return fd;
    }

    // Waits until `count` connections have ended on the server side.
    std::vector<ConnectionRecord> waitForConnections(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        EXPECT_TRUE(changed_.wait_for(lock, 20s, [&] { return finished_.size() >= count; }))
            << "connections ended: " << finished_.size();
        return finished_;
    }

private:
    void acceptLoop() {
        for (;;) {
            int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            handlers_.emplace_back([this, fd] { serve(fd); });
        }
    }

    void serve(int fd) {
        ConnectionRecord record;
        if (options_.silent) {
            char c;
            while (recv(fd, &c, 1, 0) > 0) {
            }
            finish(fd, nullptr, record);
            return;
        }
        gnutls_session_t s;
        gnutls_init(&s, GNUTLS_SERVER | GNUTLS_NO_SIGNAL);
        const char* err = nullptr;
        gnutls_priority_t prio;
        gnutls_priority_init(&prio, options_.priority.c_str(), &err);
        gnutls_priority_set(s, prio);
        gnutls_priority_deinit(prio);
        gnutls_credentials_set(s, GNUTLS_CRD_CERTIFICATE, credentials_);
        if (options_.tickets) gnutls_session_ticket_enable_server(s, &ticketKey_);
        gnutls_transport_set_int(s, fd);
        int r;
        do {
            r = gnutls_handshake(s);
        } while (r < 0 && !gnutls_error_is_fatal(r));
        if (r < 0) {
            finish(fd, s, record);
            return;
        }
        record.handshakeDone = true;
        char name[256];
        size_t nameLen = sizeof name;
        unsigned type;
        if (gnutls_server_name_get(s, name, &nameLen, &type, 0) == 0) record.serverName.assign(name, nameLen);

        std::vector<char> buf(16384);
        size_t sinceKeyUpdate = 0;
        for (;;) {
            ssize_t n = gnutls_record_recv(s, buf.data(), buf.size());
            if (n == 0) {
                record.cleanClose = true;
                break;
            }
            if (n < 0) {
                if (!gnutls_error_is_fatal(static_cast<int>(n))) continue;
                break;
            }
            record.bytes += static_cast<size_t>(n);
            if (options_.vanishAfterBytes && record.bytes >= options_.vanishAfterBytes) {
                linger hard{1, 0};  // a reset, as a crashed server leaves
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                break;
            }
            if (options_.echo) {
                for (ssize_t done = 0; done < n;) {
                    ssize_t w = gnutls_record_send(s, buf.data() + done, static_cast<size_t>(n - done));
                    if (w < 0 && gnutls_error_is_fatal(static_cast<int>(w))) break;
                    if (w > 0) done += w;
                }
            }
            sinceKeyUpdate += static_cast<size_t>(n);
            if (options_.keyUpdateEveryBytes && sinceKeyUpdate >= options_.keyUpdateEveryBytes &&
                gnutls_protocol_get_version(s) == GNUTLS_TLS1_3) {
                sinceKeyUpdate = 0;
                EXPECT_EQ(gnutls_session_key_update(s, GNUTLS_KU_PEER), 0);
            }
        }
        finish(fd, s, record);
    }

    void finish(int fd, gnutls_session_t s, const ConnectionRecord& record) {
        if (s) gnutls_deinit(s);
        ::close(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        finished_.push_back(record);
        changed_.notify_all();
    }

    ServerOptions options_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    gnutls_certificate_credentials_t credentials_ = nullptr;
    gnutls_datum_t ticketKey_{};
    std::thread acceptor_;
    std::vector<std::thread> handlers_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ConnectionRecord> finished_;
};

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
    ServerOptions options;
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

// Every way of being the wrong server ends the handshake with a reason, and nothing of the stream
// reaches the impostor.
TEST(KNTLSTunnelTest, RefusesServersItCannotTrust) {
    struct Case {
        const char* cert;
        std::string host;
        const char* expectInReason;
    };
    for (const Case& c : {Case{"untrusted", "localhost", "issuer"}, Case{"self", "localhost", "NOT trusted"},
                          Case{"server", "impostor.test", "does not match"}}) {
        SCOPED_TRACE(c.cert + (" as " + c.host));
        ServerOptions options;
        options.cert = c.cert;
        TestTLSServer server(options);
        std::string reason;
        auto tunnel = openTo(server, c.host, reason);
        EXPECT_FALSE(tunnel);
        EXPECT_NE(reason.find(c.expectInReason), std::string::npos) << reason;
        auto records = server.waitForConnections(1);
        EXPECT_EQ(records[0].bytes, 0u);
    }
}

TEST(KNTLSTunnelTest, GivesUpOnServerThatNeverAnswers) {
    ServerOptions options;
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
        ServerOptions options;
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

// A server that dies mid-stream: the library's writes fail (no SIGPIPE kills the process, the
// signal keeps its default action here) and its reads end, and the reason is kept for the log.
TEST(KNTLSTunnelTest, ServerVanishingMidStreamEndsTheTunnel) {
    ServerOptions options;
    options.echo = false;
    options.vanishAfterBytes = 512 * 1024;
    TestTLSServer server(options);
    std::string reason;
    auto tunnel = openTo(server, "localhost", reason);
    ASSERT_TRUE(tunnel) << reason;

    std::atomic<bool> writeFailed{false};
    std::thread writer([&] {
        blockSigpipe();
        auto chunk = randomBytes(64 * 1024, 3);
        for (int i = 0; i < 100000 && !writeFailed; ++i)
            if (!sendAll(tunnel->applicationFd(), chunk.data(), chunk.size())) writeFailed = true;
    });
    writer.join();
    EXPECT_TRUE(writeFailed);
    ASSERT_TRUE(tunnel->waitFinished(10000));
    EXPECT_NE(tunnel->failureReason(), "");
    char c;
    EXPECT_LE(recv(tunnel->applicationFd(), &c, 1, 0), 0);
    ::close(tunnel->applicationFd());
}

// Several connections set up at once share the trust store loaded by whichever comes first.
TEST(KNTLSTunnelTest, ConcurrentTunnelsAreIndependent) {
    TestTLSServer server(ServerOptions{});
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
