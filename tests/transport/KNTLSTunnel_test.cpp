// Against a GnuTLS server on loopback whose per-process CA is trusted only through SSL_CERT_DIR, a
// list whose first folder is missing: every handshake here depends on it.
#include "transport/KNTLSTunnel.h"

#include <gnutls/gnutls.h>
#include <sys/uio.h>

#include <algorithm>
#include <filesystem>
#include <future>

#include <gtest/gtest.h>

#include "support/LoopbackServer.h"
#include "support/TlsServerSession.h"

namespace {

using namespace std::chrono_literals;
using kntest::LoopbackServer;
const std::string certDir = KESTRUNE_TEST_TMP "/tls-tunnel-" + std::to_string(getpid());
gnutls_certificate_credentials_t credentials;

struct Environment : ::testing::Environment {
    void SetUp() override {
        const std::string req = " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 ";
        ASSERT_EQ(std::system(("mkdir -p " + certDir + "/trusted && cd " + certDir + req + "-subj /CN=ca -keyout ca.key -out trusted/ca.pem" +
                               req + "-CA trusted/ca.pem -CAkey ca.key -keyout server.key -out server.pem -subj /CN=localhost -addext "
                               "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1 -addext basicConstraints=CA:FALSE >/dev/null 2>&1").c_str()), 0);
        gnutls_certificate_allocate_credentials(&credentials);
        ASSERT_EQ(gnutls_certificate_set_x509_key_file(credentials, (certDir + "/server.pem").c_str(),
                                                       (certDir + "/server.key").c_str(), GNUTLS_X509_FMT_PEM), 0);
        unsetenv("SSL_CERT_FILE");
        setenv("SSL_CERT_DIR", (certDir + "/missing:" + certDir + "/trusted").c_str(), 1);
    }
    void TearDown() override {
        std::filesystem::remove_all(certDir);
        gnutls_certificate_free_credentials(credentials);
    }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new Environment);

struct Record {
    std::string serverName;
    size_t bytes = 0;
    bool intact = true;
    bool cleanClose = false;
};

// Reads nothing until `resume`, then asks for a key update and reads to the end, bytes counting mod 251.
Record serveStalled(int fd, const std::shared_future<void>& resume) {
    Record record;
    int r = 0;
    gnutls_session_t s = kntest::acceptTls(fd, credentials, &r);
    char buf[16384];
    size_t nameBytes = sizeof buf;
    unsigned type;
    if (r == 0 && gnutls_server_name_get(s, buf, &nameBytes, &type, 0) == 0) record.serverName = buf;
    EXPECT_TRUE(r || resume.wait_for(20s) != std::future_status::ready || !gnutls_session_key_update(s, GNUTLS_KU_PEER));
    for (ssize_t n = 1; r == 0 && n != 0 && (n > 0 || !gnutls_error_is_fatal(int(n)));) {
        n = gnutls_record_recv(s, buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) record.intact &= uint8_t(buf[i]) == record.bytes++ % 251;
        record.cleanClose = n == 0;
    }
    gnutls_deinit(s);
    return record;
}

// Handed over after the first bytes, the session writes records itself: the server asks for a key
// update meanwhile, and still gets every byte in order, then close_notify, as the library closes.
// The server name goes out as SNI for a name only, never for an address.
TEST(KNTLSTunnelTest, HandedOverSessionWritesEveryByteThroughAKeyUpdate) {
    for (auto [family, host] : {std::pair{AF_INET, "localhost"}, std::pair{AF_INET6, "::1"}}) {
        SCOPED_TRACE(host);
        std::promise<void> resume;
        std::promise<Record> ended;
        const std::shared_future<void> resumed = resume.get_future().share();
        LoopbackServer server(family, [&](int fd, const std::atomic<bool>&) { ended.set_value(serveStalled(fd, resumed)); });
        std::string reason;
        auto tunnel = KNTLSTunnel::open(LoopbackServer::connectTo(family, server.port()), host, 5, reason);
        ASSERT_TRUE(tunnel) << reason;
        const int plain = tunnel->applicationFd();
        uint8_t pattern[16384 + 251];
        std::generate(std::begin(pattern), std::end(pattern), [i = 0]() mutable { return uint8_t(i++ % 251); });
        ASSERT_TRUE(LoopbackServer::writeAll(plain, pattern, 1000));
        void* tls = nullptr;
        int tcp = -1;
        ASSERT_TRUE(tunnel->handOver(tls, tcp));
        ::close(plain);
        resume.set_value();
        size_t written = 1000;
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < 600ms) {  // spans the server's key update
            iovec pieces[3] = {{pattern + written % 251, 1}, {pattern + (written + 1) % 251, 4096}, {pattern + (written + 4097) % 251, 9000}};
            ASSERT_TRUE(KNTLSTunnel::ofHandedOver(tls)->writeHandedOver(pieces, 3));
            written += 1 + 4096 + 9000;
        }
        gnutls_bye(static_cast<gnutls_session_t>(tls), GNUTLS_SHUT_RDWR);  // what the library's close does
        gnutls_deinit(static_cast<gnutls_session_t>(tls));
        ::close(tcp);
        tunnel->close();
        auto record = ended.get_future();
        const Record got = record.wait_for(20s) == std::future_status::ready ? record.get() : Record{"no end"};
        EXPECT_TRUE(got.bytes == written && got.intact && got.cleanClose) << got.bytes << " of " << written;
        EXPECT_EQ(got.serverName, std::string(host) == "localhost" ? host : "");
    }
}

}  // namespace
