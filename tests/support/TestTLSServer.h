#pragma once
// A GnuTLS server on loopback for the TLS tests, and the certificates it can present: a test CA
// and its server certificate, and another CA's, made by openssl in a folder.
#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LoopbackServer.h"

namespace kntest {

// In DIR: ca.pem (the test CA) with server.pem/.key; other-ca.pem with untrusted.pem/.key.
// Server certificates name localhost, 127.0.0.1 and ::1.
inline void makeTestCertificates(const std::filesystem::path& dir) {
    std::filesystem::create_directories(dir);
    auto run = [&](const std::string& command) {
        std::string full = "cd '" + dir.string() + "' && " + command + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(full.c_str()), 0) << command;
    };
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    const std::string san = "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1";
    std::ofstream(dir / "server.ext") << san << "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n";
    for (std::string ca : {"ca", "other-ca"}) {
        run("openssl req -x509 " + key + " -keyout " + ca + ".key -out " + ca + ".pem -days 2 -subj /CN=" + ca +
            " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign");
        std::string leaf = ca == "ca" ? "server" : "untrusted";
        run("openssl req " + key + " -keyout " + leaf + ".key -out " + leaf + ".csr -subj /CN=localhost");
        run("openssl x509 -req -in " + leaf + ".csr -CA " + ca + ".pem -CAkey " + ca + ".key -CAcreateserial -out " +
            leaf + ".pem -days 2 -extfile server.ext");
    }
}

struct TestTLSServerOptions {
    std::string family = "127.0.0.1";
    std::string priority = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";
    std::filesystem::path certDir;       // as made by makeTestCertificates
    std::string cert = "server";
    bool echo = true;
    size_t keyUpdateEveryBytes = 0;      // ask the client to update its keys too
    bool silent = false;                 // accept TCP and never answer
    std::shared_future<void> startReading;  // when set, application data is read only after it
    int tcpBufferBytes = 0;              // small TCP buffers on both ends, to see back-pressure
};

struct TestTLSConnection {
    std::string serverName;  // SNI as received, empty when none was sent
    size_t bytes = 0;
    bool cleanClose = false;  // the client's close_notify arrived
};

// A GnuTLS server on a free loopback port; one thread per connection, blocking I/O.
class TestTLSServer {
public:
    explicit TestTLSServer(TestTLSServerOptions options) : options_(std::move(options)) {
        gnutls_certificate_allocate_credentials(&credentials_);
        std::string base = (options_.certDir / options_.cert).string();
        EXPECT_EQ(gnutls_certificate_set_x509_key_file(credentials_, (base + ".pem").c_str(),
                                                       (base + ".key").c_str(), GNUTLS_X509_FMT_PEM),
                  0);
        gnutls_session_ticket_key_generate(&ticketKey_);
        server_.emplace(options_.family == "::1" ? AF_INET6 : AF_INET,
                        [this](int fd, const std::atomic<bool>&) { serve(fd); });
    }

    ~TestTLSServer() {
        server_.reset();  // waits for every connection to end
        gnutls_certificate_free_credentials(credentials_);
        gnutls_free(ticketKey_.data);
    }

    // A TCP socket connected to the server.
    int connectClient() const {
        sockaddr_storage addr{};
        const socklen_t len = loopback(addr, static_cast<uint16_t>(server_->port()));
        int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        setBuffers(fd);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
        return fd;
    }

    // Waits until `count` connections have ended on the server side.
    std::vector<TestTLSConnection> waitForConnections(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        EXPECT_TRUE(changed_.wait_for(lock, std::chrono::seconds(20), [&] { return finished_.size() >= count; }))
            << "connections ended: " << finished_.size();
        return finished_;
    }

private:
    socklen_t loopback(sockaddr_storage& addr, uint16_t port) const {
        if (options_.family == "::1") {
            auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            a->sin6_port = htons(port);
            return sizeof *a;
        }
        auto* a = reinterpret_cast<sockaddr_in*>(&addr);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a->sin_port = htons(port);
        return sizeof *a;
    }

    void setBuffers(int fd) const {
        if (options_.tcpBufferBytes <= 0) return;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &options_.tcpBufferBytes, sizeof options_.tcpBufferBytes);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options_.tcpBufferBytes, sizeof options_.tcpBufferBytes);
    }

    // The connection is closed by the loopback server once this returns.
    void serve(int fd) {
        setBuffers(fd);
        TestTLSConnection record;
        if (options_.silent) {
            char c;
            while (recv(fd, &c, 1, 0) > 0) {
            }
            finish(nullptr, record);
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
        gnutls_session_ticket_enable_server(s, &ticketKey_);  // TLS 1.3 tickets after the handshake
        gnutls_transport_set_int(s, fd);
        int r;
        do {
            r = gnutls_handshake(s);
        } while (r < 0 && !gnutls_error_is_fatal(r));
        if (r < 0) {
            finish(s, record);
            return;
        }
        if (options_.startReading.valid()) options_.startReading.wait();
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
        finish(s, record);
    }

    void finish(gnutls_session_t s, const TestTLSConnection& record) {
        if (s) gnutls_deinit(s);
        std::lock_guard<std::mutex> lock(mutex_);
        finished_.push_back(record);
        changed_.notify_all();
    }

    TestTLSServerOptions options_;
    gnutls_certificate_credentials_t credentials_ = nullptr;
    gnutls_datum_t ticketKey_{};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<TestTLSConnection> finished_;
    std::optional<LoopbackServer> server_;  // last: its threads use the members above
};

}  // namespace kntest
