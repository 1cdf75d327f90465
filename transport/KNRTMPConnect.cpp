#include "transport/KNRTMPConnect.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include <librtmp/log.h>

#include "transport/KNTLSTunnel.h"

namespace kn {

namespace {

// The library writes with plain send(): a peer that resets during the handshake would raise
// SIGPIPE in this thread. Hold it off for the step and swallow one raised meanwhile.
class SigpipeHold {
public:
    SigpipeHold() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    }
    ~SigpipeHold() {
        if (sigismember(&previous_, SIGPIPE)) return;
        sigset_t pending;
        sigemptyset(&pending);
        if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE)) {
            timespec now{};
            sigtimedwait(&pipe_, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeHold(const SigpipeHold&) = delete;
    SigpipeHold& operator=(const SigpipeHold&) = delete;

private:
    sigset_t pipe_;
    sigset_t previous_;
};

std::string text(const AVal& value) {
    return value.av_val && value.av_len > 0 ? std::string(value.av_val, static_cast<size_t>(value.av_len))
                                            : std::string();
}

struct AddrInfoFree {
    void operator()(addrinfo* info) const { freeaddrinfo(info); }
};
using AddrInfo = std::unique_ptr<addrinfo, AddrInfoFree>;

// getaddrinfo's answer is the caller's own, unlike the shared static one of the old resolver calls.
AddrInfo resolve(const std::string& name, int family) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    // No AI_ADDRCONFIG: it counts no loopback address, so a host without a global IPv6 address
    // could not reach an IPv6 server by name even on ::1. The resolver's ordering already puts
    // destinations without a route last.
    hints.ai_flags = 0;
    addrinfo* answer = nullptr;
    if (name.empty() || getaddrinfo(name.c_str(), nullptr, &hints, &answer) != 0) return nullptr;
    return AddrInfo(answer);
}

int32_t effectiveTimeout(const RTMP* r) {
    return r->Link.timeout > 0 ? r->Link.timeout : kDefaultConnectTimeoutSeconds;
}

}  // namespace

// A blocking connect to an unanswering address can take minutes; bound it by the link time-out.
int connectWithin(int fd, const sockaddr* address, socklen_t length, int64_t timeoutMs) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return errno;
    int error = 0;
    if (connect(fd, address, length) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
            error = ETIMEDOUT;
            while (true) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                  std::chrono::steady_clock::now());
                if (left.count() <= 0) break;
                pollfd p{fd, POLLOUT, 0};
                int waitMs = static_cast<int>(std::min<int64_t>(left.count(), std::numeric_limits<int>::max()));
                int n = poll(&p, 1, waitMs);
                if (n < 0 && errno == EINTR) continue;
                if (n > 0) {
                    socklen_t len = sizeof error;
                    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
                }
                break;
            }
        }
    }
    if (fcntl(fd, F_SETFL, flags) < 0 && error == 0) error = errno;
    return error;
}

namespace {

// The socket half that both families share; `fn` names the entry in the log lines.
bool connectSocket(RTMP* r, const sockaddr* service, socklen_t length, const char* fn, ConnectDeadline* deadline) {
    r->m_sb.sb_timedout = 0;
    r->m_pausing = 0;
    r->m_fDuration = 0.0;

    r->m_sb.sb_socket = socket(service->sa_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (r->m_sb.sb_socket == -1) {
        RTMP_Log(RTMP_LOGERROR, "%s, failed to create socket. Error: %d", fn, errno);
        return false;
    }

    // Before connecting, so the SOCKS exchange is bounded too. Writes as well as reads: a server
    // that stops reading fails the write after the time-out instead of holding the publisher.
    const int32_t timeout = effectiveTimeout(r);
    r->Link.timeout = timeout;
    timeval tv{timeout, 0};
    if (setsockopt(r->m_sb.sb_socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
        setsockopt(r->m_sb.sb_socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
        RTMP_Log(RTMP_LOGERROR, "%s, Setting socket timeout to %ds failed!", fn, timeout);
    }
    // A server that keeps its window shut lets through a byte now and then, and each one would
    // start a write's time-out again: bound how long sent data may wait unacknowledged instead.
    const auto userTimeoutMs =
        static_cast<unsigned int>(std::min<int64_t>(int64_t{timeout} * 1000, std::numeric_limits<unsigned int>::max()));
    setsockopt(r->m_sb.sb_socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);

    int64_t connectMs = int64_t{timeout} * 1000;
    if (deadline) {
        deadline->watch(r->m_sb.sb_socket);
        connectMs = std::min(connectMs, deadline->remainingMs());
    }
    int error = connectWithin(r->m_sb.sb_socket, service, length, connectMs);
    if (error != 0) {
        RTMP_Log(RTMP_LOGERROR, "%s, failed to connect socket. %d (%s)", fn, error, std::strerror(error));
        RTMP_Close(r);
        return false;
    }

    if (r->Link.socksport) {
        RTMP_Log(RTMP_LOGDEBUG, "%s ... SOCKS negotiation", fn);
        if (!SocksNegotiate(r)) {
            RTMP_Log(RTMP_LOGERROR, "%s, SOCKS negotiation failed.", fn);
            RTMP_Close(r);
            return false;
        }
    }

    int on = 1;
    setsockopt(r->m_sb.sb_socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
}

bool sendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Reads up to `size` bytes, as many reads as it takes; answers how many arrived.
size_t receiveAll(int fd, uint8_t* data, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = recv(fd, data + got, size - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

}  // namespace

ConnectDeadline::ConnectDeadline(int32_t timeoutSeconds)
    : at_(std::chrono::steady_clock::now() +
          std::chrono::seconds(timeoutSeconds > 0 ? timeoutSeconds : kDefaultConnectTimeoutSeconds)) {
    thread_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(mutex_);
        if (finished_.wait_until(lock, at_, [this] { return done_; })) return;
        expired_ = true;
        if (watched_ >= 0) shutdown(watched_, SHUT_RDWR);
    });
}

ConnectDeadline::~ConnectDeadline() { finish(); }

void ConnectDeadline::watch(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (watched_ >= 0) close(watched_);
    watched_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (expired_ && watched_ >= 0) shutdown(watched_, SHUT_RDWR);
}

int64_t ConnectDeadline::remainingMs() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at_ - std::chrono::steady_clock::now());
    return std::max<int64_t>(left.count(), 0);
}

bool ConnectDeadline::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    finished_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    if (watched_ >= 0) close(watched_);
    watched_ = -1;
    return expired_;
}

bool RTMP_Connect(RTMP* r, RTMPPacket* cp, ConnectDeadline* deadline, std::unique_ptr<KNTLSTunnel>* tunnel) {
    SigpipeHold hold;

    const bool viaSocks = r->Link.socksport != 0;
    const std::string name = text(viaSocks ? r->Link.sockshost : r->Link.hostname);
    AddrInfo answer = resolve(name, AF_UNSPEC);
    if (!answer) return false;

    const int port = viaSocks ? r->Link.socksport : r->Link.port;
    const addrinfo* first = answer.get();
    bool connected = false;
    if (first->ai_family == AF_INET6) {
        if (r->Link.hostname.av_len <= 0) return false;
        // The answer's own record: it keeps the scope id a link-local address needs.
        sockaddr_in6 service{};
        std::memcpy(&service, first->ai_addr, sizeof service);
        service.sin6_port = htons(static_cast<uint16_t>(port));
        connected = RTMP_Connect0_IPV6(r, &service, deadline);
    } else if (first->ai_family == AF_INET) {
        sockaddr_in service{};
        std::memcpy(&service, first->ai_addr, sizeof service);
        service.sin_port = htons(static_cast<uint16_t>(port));
        connected = RTMP_Connect0_IPV4(r, &service, deadline);
    }
    if (!connected) return false;
    return startSession(r, cp, tunnel);
}

bool RTMP_Connect0_IPV6(RTMP* r, const sockaddr_in6* service, ConnectDeadline* deadline) {
    return connectSocket(r, reinterpret_cast<const sockaddr*>(service), sizeof *service, "RTMP_Connect0_IPV6",
                         deadline);
}

bool RTMP_Connect0_IPV4(RTMP* r, const sockaddr_in* service, ConnectDeadline* deadline) {
    return connectSocket(r, reinterpret_cast<const sockaddr*>(service), sizeof *service, "RTMP_Connect0", deadline);
}

bool add_addr_info(sockaddr_in* service, const AVal* host, int port) {
    const std::string name = text(*host);
    service->sin_family = AF_INET;
    if (inet_pton(AF_INET, name.c_str(), &service->sin_addr) != 1) {
        AddrInfo answer = resolve(name, AF_INET);
        if (!answer) {
            RTMP_Log(RTMP_LOGERROR, "Problem accessing the DNS. (addr: %s)", name.c_str());
            return false;
        }
        service->sin_addr = reinterpret_cast<const sockaddr_in*>(answer->ai_addr)->sin_addr;
    }
    service->sin_port = htons(static_cast<uint16_t>(port));
    return true;
}

bool SocksNegotiate(RTMP* r) {
    sockaddr_in service{};
    if (!add_addr_info(&service, &r->Link.hostname, r->Link.port)) return false;

    const uint32_t address = ntohl(service.sin_addr.s_addr);
    const uint8_t request[9] = {4, 1,  // version 4, CONNECT
                                static_cast<uint8_t>(r->Link.port >> 8), static_cast<uint8_t>(r->Link.port & 0xff),
                                static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                                static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                                0};  // empty user id
    if (!sendAll(r->m_sb.sb_socket, request, sizeof request)) return false;

    uint8_t reply[8] = {};
    if (receiveAll(r->m_sb.sb_socket, reply, sizeof reply) != sizeof reply) return false;
    if (reply[0] == 0 && reply[1] == 90) return true;
    RTMP_Log(RTMP_LOGERROR, "%s, SOCKS returned error code %d", "SocksNegotiate", static_cast<int8_t>(reply[1]));
    return false;
}

namespace {

// rtmps: the library's own TLS verifies nothing and fails with TLS 1.3 servers, so the tunnel
// runs TLS on the TCP socket and the library does plain RTMP on the tunnel's other end.
bool startTLS(RTMP* r, std::unique_ptr<KNTLSTunnel>* slot) {
    if (!slot) {
        RTMP_Log(RTMP_LOGERROR, "%s, no session to keep a TLS tunnel", "RTMP_Connect");
        RTMP_Close(r);
        return false;
    }
    const std::string host = text(r->Link.hostname);
    const int tcp = r->m_sb.sb_socket;
    r->m_sb.sb_socket = -1;  // the tunnel owns the TCP socket from here on, also when it fails
    std::string reason;
    auto tunnel = KNTLSTunnel::open(tcp, host, effectiveTimeout(r), reason);
    if (!tunnel) {
        RTMP_Log(RTMP_LOGERROR, "%s, TLS failed: %s", "RTMP_Connect", reason.c_str());
        RTMP_Close(r);
        return false;
    }
    RTMP_Log(RTMP_LOGDEBUG, "%s, %s with %s", "RTMP_Connect", tunnel->protocolName().c_str(), host.c_str());
    r->m_sb.sb_socket = tunnel->applicationFd();
    r->Link.protocol &= ~RTMP_FEATURE_SSL;
    *slot = std::move(tunnel);
    return true;
}

}  // namespace

bool startSession(RTMP* r, RTMPPacket* cp, std::unique_ptr<KNTLSTunnel>* tunnel) {
    if ((r->Link.protocol & RTMP_FEATURE_SSL) && !startTLS(r, tunnel)) return false;
    r->m_bSendCounter = 1;
    return RTMP_Connect1(r, cp) != 0;
}

void endSession(RTMP* r, std::unique_ptr<KNTLSTunnel>* tunnel) {
    if (tunnel && *tunnel) (*tunnel)->beginClose();
    RTMP_Close(r);
    if (tunnel && *tunnel) {
        (*tunnel)->close();
        tunnel->reset();
    }
    // The library copies the SOCKS host at URL set-up and never frees the copy.
    if (r->Link.socksport && r->Link.sockshost.av_val) {
        std::free(r->Link.sockshost.av_val);
        r->Link.sockshost = AVal{nullptr, 0};
        r->Link.socksport = 0;
    }
}

}  // namespace kn
