#pragma once
// TLS client for one connection, run beside the RTMP library instead of inside it.
//
// The library reads and writes plain bytes on one end of a socket pair; a single pump thread owns
// the TLS session and moves bytes between the other end and the real TCP socket. One thread, never
// a reader and a writer: GnuTLS is not safe with two threads on one session when the server sends
// a KeyUpdate. Once the RTMP session has connected and only writes, the TLS session is handed to
// the library itself and the pump ends (handOver).
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class KNTLSTunnel {
public:
    static constexpr int kDefaultTimeoutSeconds = 30;
    // Room in the socket pair (the kernel doubles what is asked for): small, so a slow server
    // pushes back on the publisher about as soon as a plain TCP socket would.
    static constexpr int kSocketPairBufferBytes = 32 * 1024;

    // Takes tcpFd, a connected stream socket, in every case. Runs the handshake (TLS 1.3 or 1.2)
    // and verifies the server's certificate for `host` against the system trust store plus
    // SSL_CERT_FILE / SSL_CERT_DIR; SNI is sent unless `host` is an IP literal. Gives up after
    // timeoutSeconds (0: the default). On failure returns null and says why in `reason`.
    static std::unique_ptr<KNTLSTunnel> open(int tcpFd, const std::string& host, int timeoutSeconds,
                                             std::string& reason);

    // Closes (as close()) and releases the session.
    ~KNTLSTunnel();
    KNTLSTunnel(const KNTLSTunnel&) = delete;
    KNTLSTunnel& operator=(const KNTLSTunnel&) = delete;

    // The plain end, blocking, with the TCP socket's receive time-out. The caller owns it; closing
    // it ends the tunnel once everything written before has gone out.
    int applicationFd() const { return appFd_; }

    // Sends what the plain end has accepted so far, then the TLS close, and stops the pump.
    // Returns once the pump has ended (bounded by the time-out). Safe to call more than once.
    void close();

    // From now on the whole close, the library's last writes and its TLS close included, ends
    // within the time-out: a server that keeps sending and never answers close_notify can't hold
    // it. Call before closing the session.
    void beginClose();

    // Negotiated protocol, e.g. "TLS1.3".
    std::string protocolName() const;
    // Why the connection ended abnormally; empty while it runs or after a clean close.
    std::string failureReason() const;

    // Once the session has connected (it only writes from then on): stops the pump after every
    // byte the plain end took has gone out, and hands the established TLS session and the TCP
    // socket to the caller, who gives both to the RTMP library (it writes records itself, closes
    // with close_notify and frees the session). No copy through the socket pair and no thread
    // hand-off per byte any more. The plain end is the caller's to close; the tunnel must live as
    // long as the library writes through the session. False, with nothing handed over, when the
    // tunnel has ended or its last bytes could not go out.
    bool handOver(void*& tls, int& tcpFd);
    // The tunnel a handed-over TLS session belongs to.
    static KNTLSTunnel* ofHandedOver(void* tls);
    // After the hand-over: the pieces as records in one flush, on the thread the library writes
    // from; server messages (key updates, tickets, acknowledgements) are read on the way.
    bool writeHandedOver(const struct iovec* pieces, size_t count);

private:
    struct Session;
    KNTLSTunnel() = default;

    struct Pump;
    enum class Closing { NotYet, ByeQueued, Done };

    void pump();
    bool serverToLibrary(Pump& p);
    bool libraryToServer(Pump& p);
    Closing closeGracefully(Pump& p);
    bool waitForEvents(Pump& p);
    void fail(const std::string& why);
    bool flushTLSOutput();
    void readServerMessages();

    std::unique_ptr<Session> session_;
    int tcpFd_ = -1;
    int appFd_ = -1;
    int pumpFd_ = -1;
    int wakeFd_ = -1;
    int timeoutSeconds_ = kDefaultTimeoutSeconds;
    bool started_ = false;
    std::string protocol_;
    // Encrypted bytes GnuTLS has produced and the TCP socket has not taken yet. GnuTLS never sees
    // a blocked write, so reading never interrupts a half-sent record.
    std::vector<unsigned char> tlsOut_;
    size_t tlsOutSent_ = 0;

    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> handOverRequested_{false};
    bool handedOverByPump_ = false;  // written by the pump, read after joining it
    // Set once handed over: the library owns the session and the socket, the transport blocks.
    std::atomic<bool> handedOver_{false};
    void* handedOverTLS_ = nullptr;
    bool readingServer_ = false;  // the transport's reads don't wait
    std::chrono::steady_clock::time_point nextServerRead_{};
    // Nanoseconds since the clock's epoch; 0 until beginClose.
    std::atomic<int64_t> closeDeadlineNs_{0};
    // How long a wait may last: `limitMs`, cut to what is left of the close; 0 once it has passed.
    int closingWaitMs(int limitMs) const;
    std::mutex closeMutex_;
    mutable std::mutex mutex_;
    std::string failure_;

    friend struct KNTLSTunnelIO;
};
