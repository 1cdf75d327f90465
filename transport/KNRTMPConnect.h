#pragma once
// The publisher's connect entry: resolves the server, opens the TCP connection over IPv6 or IPv4
// (through a SOCKS4 proxy when the URL names one), then runs the library's RTMP handshake and
// connect command. The library exports an IPv4-only entry of the same name; ours lives in `kn` so
// the library's symbol stays what every other user of the library in the process gets.
#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include <librtmp/rtmp.h>

class KNTLSTunnel;

namespace kn {

// What a link time-out of 0 (or less) stands for: the library's own default.
inline constexpr int32_t kDefaultConnectTimeoutSeconds = 30;

// One deadline over a whole connect: TCP connect, SOCKS, TLS, handshake and the connect and publish
// exchange. A server that answers just often enough to keep each read alive can't stretch it:
// when it passes, the watched TCP connection is shut down, which ends whatever step is waiting.
class ConnectDeadline {
public:
    explicit ConnectDeadline(int32_t timeoutSeconds);
    ~ConnectDeadline();
    ConnectDeadline(const ConnectDeadline&) = delete;
    ConnectDeadline& operator=(const ConnectDeadline&) = delete;

    // The TCP socket to cut. A duplicate is kept, so the number can't meanwhile name another file.
    void watch(int fd);
    int64_t remainingMs() const;
    // Stops watching; true when the deadline passed, and with it the connection.
    bool finish();

private:
    const std::chrono::steady_clock::time_point at_;
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    bool expired_ = false;
    int watched_ = -1;
    std::thread thread_;
};

// Connects `r` (after RTMP_SetupURL, the time-out and RTMP_EnableWrite). The family of the first
// address the name resolves to picks the path; there is no fallback to the other family. Every
// blocking step (TCP connect, SOCKS exchange, handshake reads) is bounded by Link.timeout, 0
// meaning kDefaultConnectTimeoutSeconds. SIGPIPE is held off in the calling thread meanwhile.
// A deadline, when given, bounds all of it as one.
// For rtmps the TLS tunnel is put in `tunnel`, which the session keeps until endSession.
bool RTMP_Connect(RTMP* r, RTMPPacket* cp, ConnectDeadline* deadline = nullptr,
                  std::unique_ptr<KNTLSTunnel>* tunnel = nullptr);

// Opens the session's TCP socket to `service`, then runs the SOCKS negotiation when the link has a
// SOCKS port. On failure the session is closed.
bool RTMP_Connect0_IPV6(RTMP* r, const sockaddr_in6* service, ConnectDeadline* deadline = nullptr);
bool RTMP_Connect0_IPV4(RTMP* r, const sockaddr_in* service, ConnectDeadline* deadline = nullptr);

// Connects the socket `fd` to `address`, waiting at most timeoutMs: 0, or the error (ETIMEDOUT
// when the time ran out). The socket's blocking mode is left as it was.
int connectWithin(int fd, const sockaddr* address, socklen_t length, int64_t timeoutMs);

// Fills an IPv4 address record from a literal or a name (first IPv4 answer) and a port.
bool add_addr_info(sockaddr_in* service, const AVal* host, int port);

// SOCKS4 CONNECT to (Link.hostname, Link.port) on the session's socket; SOCKS4 names the
// destination by its IPv4 address.
bool SocksNegotiate(RTMP* r);

// Where the connected TCP socket is handed to the session layer: for rtmps our own TLS tunnel
// (a failed handshake or certificate check is a failed connect, its reason in the log), then the
// library's RTMP handshake and connect command over plain bytes.
bool startSession(RTMP* r, RTMPPacket* cp, std::unique_ptr<KNTLSTunnel>* tunnel);

// Closes the session's connection: for rtmps, also waits until what the library wrote has left
// through TLS and the TLS close has been sent, all of it within the link time-out; releases what
// the library leaves allocated. Call before RTMP_Free.
void endSession(RTMP* r, std::unique_ptr<KNTLSTunnel>* tunnel);

}  // namespace kn
