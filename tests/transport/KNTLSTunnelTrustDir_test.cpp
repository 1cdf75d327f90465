// The trust store read from SSL_CERT_DIR (a colon-separated list) when SSL_CERT_FILE is not set.
// A process of its own: the store is loaded once, at the first handshake.
#include "transport/KNTLSTunnel.h"

#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/TestTLSServer.h"

namespace {

namespace fs = std::filesystem;

const fs::path& certDir() {
    static const fs::path dir = fs::path(KESTRUNE_TEST_TMP) / ("tls-trust-dir-" + std::to_string(getpid()));
    return dir;
}

class Environment : public ::testing::Environment {
public:
    void SetUp() override {
        kntest::makeTestCertificates(certDir());
        // Only the test CA goes in the folder; a missing folder first in the list is skipped.
        fs::create_directories(certDir() / "trusted");
        fs::copy_file(certDir() / "ca.pem", certDir() / "trusted" / "ca.pem");
        unsetenv("SSL_CERT_FILE");
        setenv("SSL_CERT_DIR", (certDir() / "missing").string().append(":").append(certDir() / "trusted").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(certDir()); }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new Environment);

TEST(KNTLSTunnelTrustDir, TrustsTheFolderListAndNothingMore) {
    for (const char* cert : {"server", "untrusted"}) {
        SCOPED_TRACE(cert);
        kntest::TestTLSServerOptions options;
        options.certDir = certDir();
        options.cert = cert;
        kntest::TestTLSServer server(options);
        std::string reason;
        auto tunnel = KNTLSTunnel::open(server.connectClient(), "localhost", 5, reason);
        EXPECT_EQ(static_cast<bool>(tunnel), std::string(cert) == "server") << reason;
        if (tunnel) {
            ::close(tunnel->applicationFd());
            EXPECT_TRUE(tunnel->waitFinished(10000));
        }
        server.waitForConnections(1);
    }
}

}  // namespace
