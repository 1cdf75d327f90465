#include "transport/KNTLSTunnel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <limits>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// One TLS record of plain text from the server, several for the server: fewer system calls.
constexpr size_t kChunkBytes = 16 * 1024;
constexpr size_t kAppReadBytes = 64 * 1024;
// Encrypted bytes waiting for the TCP socket before the pump stops reading the plain end.
constexpr size_t kTLSOutHighWaterBytes = 32 * 1024;
// How long, after our TLS close, the pump waits for the server to close its side.
constexpr auto kLingerAfterClose = std::chrono::seconds(5);

// The credentials and priorities every tunnel shares; loaded at the first handshake and kept for
// the life of the process (pump threads may still use them while the process exits).
struct TrustStore {
    gnutls_certificate_credentials_t credentials = nullptr;
    gnutls_priority_t priority = nullptr;
    std::string problems;  // trust sources that could not be read, told with a failed verification
};

void addProblem(std::string& problems, const std::string& what) {
    if (!problems.empty()) problems += "; ";
    problems += what;
}

const TrustStore& trustStore() {
    static const TrustStore* store = [] {
        auto* s = new TrustStore;
        if (gnutls_certificate_allocate_credentials(&s->credentials) < 0) {
            s->credentials = nullptr;
            addProblem(s->problems, "no memory for credentials");
            return s;
        }
        int n = gnutls_certificate_set_x509_system_trust(s->credentials);
        if (n < 0) addProblem(s->problems, std::string("system trust store: ") + gnutls_strerror(n));
        if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file) {
            n = gnutls_certificate_set_x509_trust_file(s->credentials, file, GNUTLS_X509_FMT_PEM);
            if (n <= 0)
                addProblem(s->problems, std::string("SSL_CERT_FILE ") + file + ": " +
                                            (n < 0 ? gnutls_strerror(n) : "no certificate"));
        }
        if (const char* dirs = std::getenv("SSL_CERT_DIR"); dirs && *dirs) {
            // A colon-separated list, as the variable is usually read.
            std::string list = dirs;
            size_t start = 0;
            while (start <= list.size()) {
                size_t end = list.find(':', start);
                if (end == std::string::npos) end = list.size();
                std::string dir = list.substr(start, end - start);
                if (!dir.empty()) {
                    n = gnutls_certificate_set_x509_trust_dir(s->credentials, dir.c_str(),
                                                              GNUTLS_X509_FMT_PEM);
                    if (n < 0) addProblem(s->problems, "SSL_CERT_DIR " + dir + ": " + gnutls_strerror(n));
                }
                start = end + 1;
            }
        }
        const char* errPos = nullptr;
        if (gnutls_priority_init(&s->priority, "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-128-GCM:+CHACHA20-POLY1305:+AES-256-GCM:+AES-128-CCM:+AES-256-CCM:+AES-128-CBC:+AES-256-CBC", &errPos) < 0) {
            s->priority = nullptr;
            addProblem(s->problems, "TLS priorities not accepted");
        }
        return s;
    }();
    return *store;
}

bool isIPLiteral(const std::string& host) {
    unsigned char addr[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), addr) == 1 || inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, std::numeric_limits<int>::max()));
}

bool setNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string errnoText(const char* what, int err) {
    return std::string(what) + ": " + std::strerror(err);
}

}  // namespace

struct KNTLSTunnel::Session {
    gnutls_session_t tls = nullptr;
    bool owned = true;  // false once handed over: the library frees it
    ~Session() {
        if (tls && owned) gnutls_deinit(tls);
    }
};

// GnuTLS's transport: a write is never refused (what the socket can't take yet waits in tlsOut_),
// reads come straight from the socket.
struct KNTLSTunnelIO {
    static ssize_t push(gnutls_transport_ptr_t p, const giovec_t* iov, int count) {
        auto* t = static_cast<KNTLSTunnel*>(p);
        if (t->handedOver_.load(std::memory_order_relaxed)) return pushWaiting(t, iov, count);
        size_t total = 0;
        for (int i = 0; i < count; ++i) total += iov[i].iov_len;
        // Straight to the socket while nothing waits before it; what it doesn't take now (or a
        // failure, which the next flush meets again and reports) is kept in order.
        size_t sent = 0;
        if (t->tlsOutSent_ == t->tlsOut_.size()) {
            msghdr msg{};
            msg.msg_iov = const_cast<giovec_t*>(iov);
            msg.msg_iovlen = static_cast<size_t>(count);
            ssize_t n;
            do {
                n = sendmsg(t->tcpFd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
            } while (n < 0 && errno == EINTR);
            if (n > 0) sent = static_cast<size_t>(n);
        }
        size_t skip = sent;
        for (int i = 0; i < count; ++i) {
            const auto* base = static_cast<const unsigned char*>(iov[i].iov_base);
            size_t len = iov[i].iov_len;
            if (skip >= len) {
                skip -= len;
                continue;
            }
            t->tlsOut_.insert(t->tlsOut_.end(), base + skip, base + len);
            skip = 0;
        }
        return static_cast<ssize_t>(total);
    }

    // Handed over, the library's writes wait for the socket as on plain TCP, bounded by the
    // time-out. A failure is never "try again", which would make GnuTLS retry for ever.
    static ssize_t pushWaiting(KNTLSTunnel* t, const giovec_t* iov, int count) {
        std::vector<iovec> left(iov, iov + count);
        size_t total = 0;
        for (int i = 0; i < count; ++i) total += iov[i].iov_len;
        size_t first = 0;
        for (size_t sent = 0; sent < total;) {
            msghdr msg{};
            msg.msg_iov = left.data() + first;
            msg.msg_iovlen = left.size() - first;
            const ssize_t n = sendmsg(t->tcpFd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd pfd{t->tcpFd_, POLLOUT, 0};
                const int waitMs = t->closingWaitMs(std::min(t->timeoutSeconds_, INT_MAX / 1000) * 1000);
                const int ready = waitMs > 0 ? poll(&pfd, 1, waitMs) : 0;
                if (ready > 0 || (ready < 0 && errno == EINTR)) continue;
                errno = ready == 0 ? ETIMEDOUT : errno;
            }
            if (n <= 0) {
                gnutls_transport_set_errno(t->session_->tls, errno == EAGAIN ? EPIPE : errno);
                return -1;
            }
            sent += static_cast<size_t>(n);
            for (size_t skip = static_cast<size_t>(n); skip > 0;) {
                const size_t taken = std::min(skip, left[first].iov_len);
                left[first].iov_base = static_cast<unsigned char*>(left[first].iov_base) + taken;
                left[first].iov_len -= taken;
                skip -= taken;
                if (left[first].iov_len == 0) ++first;
            }
        }
        return static_cast<ssize_t>(total);
    }

    static ssize_t pull(gnutls_transport_ptr_t p, void* data, size_t size) {
        auto* t = static_cast<KNTLSTunnel*>(p);
        if (t->handedOver_.load(std::memory_order_relaxed) && !t->readingServer_) {
            // The library's close waits for the server's close_notify, as the pump does, so that
            // closing never resets a connection with the stream's tail unread by the server.
            // Each record the server sends starts a new wait: the close's deadline bounds them all.
            pollfd pfd{t->tcpFd_, POLLIN, 0};
            const int waitMs = t->closingWaitMs(static_cast<int>(std::chrono::milliseconds(kLingerAfterClose).count()));
            const int ready = waitMs > 0 ? poll(&pfd, 1, waitMs) : 0;
            if (ready == 0) {
                gnutls_transport_set_errno(t->session_->tls, ETIMEDOUT);
                return -1;
            }
        }
        ssize_t n = recv(t->tcpFd_, data, size, 0);
        if (n < 0) gnutls_transport_set_errno(t->session_->tls, errno);
        return n;
    }

    static int pullTimeout(gnutls_transport_ptr_t p, unsigned int ms) {
        auto* t = static_cast<KNTLSTunnel*>(p);
        t->flushTLSOutput();  // the server can't answer what it hasn't been sent
        pollfd pfd{t->tcpFd_, POLLIN, 0};
        int wait = ms == GNUTLS_INDEFINITE_TIMEOUT ? -1 : static_cast<int>(std::min<unsigned int>(ms, INT_MAX));
        if (t->closeDeadlineNs_.load() != 0) wait = t->closingWaitMs(wait < 0 ? INT_MAX : wait);
        int r = poll(&pfd, 1, wait);
        if (r < 0) gnutls_transport_set_errno(t->session_->tls, errno);
        return r;
    }
};

std::unique_ptr<KNTLSTunnel> KNTLSTunnel::open(int tcpFd, const std::string& host, int timeoutSeconds,
                                               std::string& reason) {
    std::unique_ptr<KNTLSTunnel> t(new KNTLSTunnel);
    t->tcpFd_ = tcpFd;  // from here on the destructor closes it
    t->timeoutSeconds_ = timeoutSeconds > 0 ? timeoutSeconds : kDefaultTimeoutSeconds;
    t->session_ = std::make_unique<Session>();
    const auto deadline = Clock::now() + std::chrono::seconds(t->timeoutSeconds_);

    const TrustStore& store = trustStore();
    if (!store.credentials || !store.priority) {
        reason = "TLS set-up failed: " + store.problems;
        return nullptr;
    }
    if (tcpFd < 0 || !setNonBlocking(tcpFd)) {
        reason = "TLS set-up failed: unusable socket";
        return nullptr;
    }

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        reason = errnoText("socketpair", errno);
        return nullptr;
    }
    t->appFd_ = fds[0];
    t->pumpFd_ = fds[1];
    for (int fd : fds) {
        int size = kSocketPairBufferBytes;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    // The library's reads and writes time out on the plain end as they would on the TCP socket.
    for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        timeval limit{};
        socklen_t len = sizeof limit;
        if (getsockopt(tcpFd, SOL_SOCKET, option, &limit, &len) == 0)
            setsockopt(t->appFd_, SOL_SOCKET, option, &limit, sizeof limit);
    }
    t->wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (t->wakeFd_ < 0 || !setNonBlocking(t->pumpFd_)) {
        reason = errnoText("TLS set-up failed", errno);
        return nullptr;
    }

    gnutls_session_t s = nullptr;
    int r = gnutls_init(&s, GNUTLS_CLIENT | GNUTLS_NO_SIGNAL);
    if (r < 0) {
        reason = std::string("TLS set-up failed: ") + gnutls_strerror(r);
        return nullptr;
    }
    t->session_->tls = s;
    gnutls_priority_set(s, store.priority);
    gnutls_credentials_set(s, GNUTLS_CRD_CERTIFICATE, store.credentials);
    if (!isIPLiteral(host)) gnutls_server_name_set(s, GNUTLS_NAME_DNS, host.data(), host.size());
    gnutls_session_set_verify_cert(s, host.c_str(), 0);
    // Our own deadline bounds the handshake; GnuTLS's would make it wait in the pull function.
    gnutls_handshake_set_timeout(s, 0);
    gnutls_transport_set_ptr(s, t.get());
    gnutls_transport_set_vec_push_function(s, &KNTLSTunnelIO::push);
    gnutls_transport_set_pull_function(s, &KNTLSTunnelIO::pull);
    gnutls_transport_set_pull_timeout_function(s, &KNTLSTunnelIO::pullTimeout);

    for (;;) {
        if (Clock::now() >= deadline) {  // also a server that answers, but too slowly
            reason = "TLS handshake with " + host + " timed out";
            return nullptr;
        }
        r = gnutls_handshake(s);
        // Whatever the handshake produced goes out before we wait for the server.
        while (t->tlsOutSent_ < t->tlsOut_.size()) {
            if (!t->flushTLSOutput()) {
                reason = "TLS handshake with " + host + " failed: " + t->failure_;
                return nullptr;
            }
            if (t->tlsOutSent_ < t->tlsOut_.size()) {
                pollfd pfd{tcpFd, POLLOUT, 0};
                if (poll(&pfd, 1, remainingMs(deadline)) == 0) {
                    reason = "TLS handshake with " + host + " timed out";
                    return nullptr;
                }
            }
        }
        if (r == 0) break;
        if (r == GNUTLS_E_AGAIN || r == GNUTLS_E_INTERRUPTED) {
            pollfd pfd{tcpFd, POLLIN, 0};
            int ready = poll(&pfd, 1, remainingMs(deadline));
            if (ready == 0 && Clock::now() >= deadline) {
                reason = "TLS handshake with " + host + " timed out";
                return nullptr;
            }
            continue;
        }
        if (r == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
            gnutls_datum_t text{};
            unsigned status = gnutls_session_get_verify_cert_status(s);
            reason = "certificate of " + host + " not accepted";
            if (gnutls_certificate_verification_status_print(status, gnutls_certificate_type_get(s), &text, 0) ==
                0) {
                reason += ": " + std::string(reinterpret_cast<const char*>(text.data), text.size);
                gnutls_free(text.data);
            }
            if (!store.problems.empty()) reason += " (" + store.problems + ")";
            return nullptr;
        }
        if (!gnutls_error_is_fatal(r)) continue;
        reason = "TLS handshake with " + host + " failed: " + gnutls_strerror(r);
        if (r == GNUTLS_E_FATAL_ALERT_RECEIVED)
            reason += std::string(" (") + gnutls_alert_get_name(gnutls_alert_get(s)) + ")";
        return nullptr;
    }

    if (const char* name = gnutls_protocol_get_name(gnutls_protocol_get_version(s))) t->protocol_ = name;
    t->started_ = true;
    t->thread_ = std::thread([raw = t.get()] { raw->pump(); });
    return t;
}

KNTLSTunnel::~KNTLSTunnel() {
    close();
    if (handedOver_) tcpFd_ = -1;  // the library's now
    for (int fd : {tcpFd_, pumpFd_, wakeFd_})
        if (fd >= 0) ::close(fd);
    // appFd_ belongs to the caller once open() succeeded; close it on the failure paths.
    if (!started_ && appFd_ >= 0) ::close(appFd_);
}

void KNTLSTunnel::close() {
    std::lock_guard<std::mutex> lock(closeMutex_);
    if (!thread_.joinable()) return;
    stopRequested_ = true;
    uint64_t one = 1;
    ssize_t ignored = write(wakeFd_, &one, sizeof one);
    (void)ignored;
    thread_.join();
}

void KNTLSTunnel::beginClose() {
    const auto at = Clock::now() + std::chrono::seconds(timeoutSeconds_);
    int64_t expected = 0;
    closeDeadlineNs_.compare_exchange_strong(expected, at.time_since_epoch().count());
}

int KNTLSTunnel::closingWaitMs(int limitMs) const {
    const int64_t at = closeDeadlineNs_.load();
    if (at == 0) return limitMs;
    return std::min(limitMs, remainingMs(Clock::time_point(Clock::duration(at))));
}

std::string KNTLSTunnel::protocolName() const {
    return protocol_;
}

std::string KNTLSTunnel::failureReason() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

void KNTLSTunnel::fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure_.empty()) failure_ = why;
}

// Sends what it can without blocking; false when the connection is broken.
bool KNTLSTunnel::flushTLSOutput() {
    while (tlsOutSent_ < tlsOut_.size()) {
        ssize_t n = send(tcpFd_, tlsOut_.data() + tlsOutSent_, tlsOut_.size() - tlsOutSent_, MSG_NOSIGNAL);
        if (n > 0) {
            tlsOutSent_ += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        fail(errnoText("sending to the server failed", n < 0 ? errno : EPIPE));
        return false;
    }
    tlsOut_.clear();
    tlsOutSent_ = 0;
    return true;
}

// What one pass of the pump knows about both directions.
struct KNTLSTunnel::Pump {
    gnutls_session_t tls = nullptr;
    std::vector<unsigned char> in = std::vector<unsigned char>(kChunkBytes);
    std::vector<unsigned char> out = std::vector<unsigned char>(kAppReadBytes);
    size_t inLen = 0;
    size_t inOff = 0;
    bool appReadOpen = true;   // the library may still write
    bool appWriteOpen = true;  // the library still reads
    bool tlsReadOpen = true;
    bool broken = false;
    bool byeSent = false;
    bool draining = false;
    // Whether a read may find something: no read that poll says would fail is tried.
    bool tcpReadable = true;
    bool appReadable = true;
    Clock::time_point deadline{};
};

void KNTLSTunnel::pump() {
    // Belt and braces next to MSG_NOSIGNAL: nothing this thread does may raise SIGPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    Pump p;
    p.tls = session_->tls;
    for (;;) {
        if ((stopRequested_ || handOverRequested_) && !p.draining) {
            p.draining = true;
            p.appReadable = true;
            p.deadline = Clock::now() + std::chrono::milliseconds(closingWaitMs(std::min(timeoutSeconds_, INT_MAX / 1000) * 1000));
        }
        bool progress = serverToLibrary(p);
        progress = libraryToServer(p) || progress;
        if (!p.broken && !flushTLSOutput()) p.broken = true;
        if (p.broken) break;

        const bool allSent = tlsOutSent_ == tlsOut_.size();
        if (handOverRequested_ && !p.appReadOpen && allSent) {
            handedOverByPump_ = true;  // everything the library wrote is out; the session stays open
            break;
        }
        const Closing closing = closeGracefully(p);
        if (closing == Closing::Done) break;
        if (closing == Closing::ByeQueued || progress) continue;
        if (!waitForEvents(p)) break;
    }

    // Whatever else ended the pump, the library must see it: its reads end and its writes fail.
    shutdown(pumpFd_, SHUT_RDWR);
    if (!handedOverByPump_) shutdown(tcpFd_, SHUT_RDWR);
}

// Decrypts what the server sent and passes it to the library's end. Answers whether anything
// moved or changed.
bool KNTLSTunnel::serverToLibrary(Pump& p) {
    bool progress = false;
    if (p.tlsReadOpen && p.inOff == p.inLen && !p.byeSent && (p.tcpReadable || gnutls_record_check_pending(p.tls) > 0)) {
        ssize_t n = gnutls_record_recv(p.tls, p.in.data(), p.in.size());
        if (n > 0) {
            p.inLen = static_cast<size_t>(n);
            p.inOff = 0;
            progress = true;
        } else if (n == 0) {
            p.tlsReadOpen = false;  // the server closed the session
        } else if (n == GNUTLS_E_AGAIN || n == GNUTLS_E_INTERRUPTED) {
            p.tcpReadable = false;  // post-handshake messages (tickets, key updates) also end here
        } else if (n == GNUTLS_E_REHANDSHAKE || !gnutls_error_is_fatal(static_cast<int>(n))) {
            progress = true;  // a renegotiation request or a warning: keep going without it
        } else {
            fail(std::string("receiving from the server failed: ") + gnutls_strerror(static_cast<int>(n)));
            p.tlsReadOpen = false;
            p.broken = true;
        }
        progress = progress || !p.tlsReadOpen;
    }
    if (p.inOff < p.inLen) {
        if (!p.appWriteOpen) {
            p.inOff = p.inLen;
        } else {
            ssize_t n = send(pumpFd_, p.in.data() + p.inOff, p.inLen - p.inOff, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                p.inOff += static_cast<size_t>(n);
                progress = true;
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                p.appWriteOpen = false;  // the library is gone; keep reading to let the server go on
                p.inOff = p.inLen;
                progress = true;
            }
        }
    }
    if (!p.tlsReadOpen && !p.broken) {
        // The server ended the session while the library may still be writing: tell it as a
        // lost connection.
        fail("the server closed the connection");
        p.broken = true;
    }
    return progress;
}

// Encrypts what the library wrote, while the bytes waiting for the TCP socket stay few. Answers
// whether anything moved or changed.
bool KNTLSTunnel::libraryToServer(Pump& p) {
    if (p.broken || !p.appReadOpen || !p.appReadable || tlsOut_.size() - tlsOutSent_ >= kTLSOutHighWaterBytes)
        return false;
    ssize_t n = recv(pumpFd_, p.out.data(), p.out.size(), MSG_DONTWAIT);
    if (n > 0) {
        for (size_t done = 0; done < static_cast<size_t>(n);) {
            ssize_t w = gnutls_record_send(p.tls, p.out.data() + done, static_cast<size_t>(n) - done);
            if (w == 0 || (w < 0 && w != GNUTLS_E_AGAIN && w != GNUTLS_E_INTERRUPTED)) {
                fail(std::string("encrypting failed: ") + gnutls_strerror(static_cast<int>(w)));
                p.broken = true;
                break;
            }
            if (w > 0) done += static_cast<size_t>(w);
        }
        return true;
    }
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        p.appReadOpen = false;  // the library closed its end (a reset still means closed)
        return true;
    }
    if (p.draining) {
        p.appReadOpen = false;  // everything accepted before close() has been read
        return true;
    }
    p.appReadable = false;
    return false;
}

// Once the library is done and its bytes are out: the TLS close, then the server's turn to close.
KNTLSTunnel::Closing KNTLSTunnel::closeGracefully(Pump& p) {
    const bool allSent = tlsOutSent_ == tlsOut_.size();
    if (!p.appReadOpen && !p.byeSent && allSent) {
        gnutls_bye(p.tls, GNUTLS_SHUT_WR);  // only queues the alert, our push never blocks
        p.byeSent = true;
        if (!p.draining) {
            p.draining = true;
            p.deadline = Clock::now() + std::chrono::seconds(timeoutSeconds_);
        }
        return Closing::ByeQueued;
    }
    if (!p.byeSent || !allSent) return Closing::NotYet;
    // Closing now with unread bytes would reset the connection, which can cost the server the tail
    // of the stream: stop writing and let it close first.
    shutdown(tcpFd_, SHUT_WR);
    p.deadline = std::min(p.deadline, Clock::now() + kLingerAfterClose);
    unsigned char discard[4096];
    for (;;) {
        ssize_t n = recv(tcpFd_, discard, sizeof discard, 0);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd pfd{tcpFd_, POLLIN, 0};
            if (poll(&pfd, 1, remainingMs(p.deadline)) > 0) continue;
        }
        break;
    }
    return Closing::Done;
}

// Sleeps until a socket can move bytes the pump has room for, a close or hand-over is asked, or
// the closing deadline passes. False when the pump must end.
bool KNTLSTunnel::waitForEvents(Pump& p) {
    pollfd fds[3];
    nfds_t count = 0;
    short tcpEvents = 0;
    if (tlsOutSent_ < tlsOut_.size()) tcpEvents |= POLLOUT;
    if (p.tlsReadOpen && p.inOff == p.inLen && !p.byeSent) tcpEvents |= POLLIN;
    // A descriptor with nothing to wait for is left out: its hang-up alone would spin the loop.
    fds[count++] = {tcpEvents ? tcpFd_ : -1, tcpEvents, 0};
    short appEvents = 0;
    if (p.appReadOpen && tlsOut_.size() - tlsOutSent_ < kTLSOutHighWaterBytes) appEvents |= POLLIN;
    if (p.inOff < p.inLen && p.appWriteOpen) appEvents |= POLLOUT;
    fds[count++] = {appEvents ? pumpFd_ : -1, appEvents, 0};
    if (!p.draining) fds[count++] = {wakeFd_, POLLIN, 0};
    int wait = p.draining ? remainingMs(p.deadline) : -1;
    if (p.draining && wait == 0) {
        fail("closing timed out");
        return false;
    }
    int r = poll(fds, count, wait);
    if (r < 0 && errno != EINTR) {
        fail(errnoText("poll", errno));
        return false;
    }
    constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
    if (fds[0].revents & kReadable) p.tcpReadable = true;
    if (fds[1].revents & kReadable) p.appReadable = true;
    return true;
}

bool KNTLSTunnel::handOver(void*& tls, int& tcpFd) {
    handOverRequested_ = true;
    {
        std::lock_guard<std::mutex> lock(closeMutex_);
        if (!thread_.joinable()) return false;
        uint64_t one = 1;
        ssize_t ignored = write(wakeFd_, &one, sizeof one);
        (void)ignored;
        thread_.join();
    }
    if (!handedOverByPump_) return false;
    session_->owned = false;
    handedOver_ = true;
    tls = session_->tls;
    tcpFd = tcpFd_;
    return true;
}

KNTLSTunnel* KNTLSTunnel::ofHandedOver(void* tls) {
    return static_cast<KNTLSTunnel*>(gnutls_transport_get_ptr(static_cast<gnutls_session_t>(tls)));
}

// What the server sends once connected is of no use to a publisher, but TLS messages among it
// must be read: a key update asks for ours before our next record.
void KNTLSTunnel::readServerMessages() {
    pollfd pfd{tcpFd_, POLLIN, 0};
    if (poll(&pfd, 1, 0) <= 0) return;
    readingServer_ = true;
    unsigned char discard[kChunkBytes];
    for (int i = 0; i < 64 && gnutls_record_recv(session_->tls, discard, sizeof discard) > 0; ++i) {
    }
    readingServer_ = false;
}

bool KNTLSTunnel::writeHandedOver(const iovec* pieces, size_t count) {
    gnutls_session_t s = session_->tls;
    const auto now = Clock::now();
    if (now >= nextServerRead_) {
        readServerMessages();
        nextServerRead_ = now + std::chrono::milliseconds(200);
    }
    gnutls_record_cork(s);
    for (size_t i = 0; i < count; ++i) {
        const auto* base = static_cast<const unsigned char*>(pieces[i].iov_base);
        for (size_t done = 0; done < pieces[i].iov_len;) {
            const ssize_t n = gnutls_record_send(s, base + done, pieces[i].iov_len - done);
            if (n <= 0) {
                gnutls_record_uncork(s, 0);
                return false;
            }
            done += static_cast<size_t>(n);
        }
    }
    return gnutls_record_uncork(s, GNUTLS_RECORD_WAIT) >= 0;
}
