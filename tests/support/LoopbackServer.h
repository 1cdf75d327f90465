#pragma once
// A TCP server on a loopback address and a free port, for tests that need a peer that misbehaves
// (never answers, hangs up, relays). Each accepted connection is served on a thread of its own;
// the server stops accepting, and waits for those threads, when destroyed.
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace kntest {

class LoopbackServer {
public:
    // `serve` gets the connection (closed after it returns) and the flag set when the server stops.
    using Serve = std::function<void(int client, const std::atomic<bool>& stopping)>;

    LoopbackServer(int family, Serve serve);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    int accepted() const { return accepted_.load(); }

    // A loopback port on which nothing listens (connects to it are refused).
    static int unusedPort(int family = AF_INET);
    // The local and the peer port of a socket; -1 when it has none.
    static int localPort(int fd);
    static int peerPort(int fd);
    // Blocking helpers for serve functions: reads until `size` bytes arrived, the peer closed or
    // nothing came for `idle` (answers how many arrived); writes everything (false on failure).
    static size_t readExactly(int fd, uint8_t* data, size_t size,
                              std::chrono::milliseconds idle = std::chrono::seconds(10));
    static bool writeAll(int fd, const uint8_t* data, size_t size);
    // Copies both ways between two connections until either ends or `stop` is set.
    static void relay(int a, int b, const std::atomic<bool>& stop);

private:
    void run();

    int listener_;
    int port_;
    Serve serve_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::vector<std::thread> clients_;
    std::thread thread_;
};

}  // namespace kntest
