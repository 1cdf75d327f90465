#pragma once
// A TCP server on a loopback address and a free port, for peers that misbehave (never answer, hang
// up, relay). Each connection is served on a thread of its own; destruction stops accepting and
// waits for those threads.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace kntest {

class LoopbackServer {
public:
    // Gets the connection (closed after it returns) and the flag set when the server stops.
    using Serve = std::function<void(int client, const std::atomic<bool>& stopping)>;

    LoopbackServer(int family, Serve serve) : listener_(socketTo(family, 0, ::bind)), serve_(std::move(serve)) {
        listen(listener_, 16);
        thread_ = std::thread([this] {
            while (!stopping_) {
                pollfd p{listener_, POLLIN, 0};
                const int client = poll(&p, 1, 20) > 0 ? accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
                if (client < 0) continue;
                ++accepted_;
                clients_.emplace_back([this, client] { serve_(client, stopping_); close(client); });
            }
        });
    }
    ~LoopbackServer() {
        stopping_ = true;
        thread_.join();
        for (auto& t : clients_) t.join();
        close(listener_);
    }

    int port() const { return portOf(listener_); }
    int accepted() const { return accepted_.load(); }

    // A loopback port nothing listens on.
    static int unusedPort(int family = AF_INET) {
        const int fd = socketTo(family, 0, ::bind), port = portOf(fd);
        close(fd);
        return port;
    }
    // A socket connected to a loopback port; -1 when refused.
    static int connectTo(int family, int port) { return socketTo(family, port, ::connect); }
    // Reads until `size` bytes, the peer's close or `idle` without data; answers how many came.
    static size_t readExactly(int fd, uint8_t* data, size_t size, std::chrono::milliseconds idle = std::chrono::seconds(10)) {
        size_t got = 0;
        for (pollfd p{fd, POLLIN, 0}; got < size && poll(&p, 1, static_cast<int>(idle.count())) > 0;) {
            const ssize_t n = recv(fd, data + got, size - got, 0);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        return got;
    }
    static bool writeAll(int fd, const uint8_t* data, size_t size) {
        for (ssize_t n; size > 0; data += n, size -= static_cast<size_t>(n))
            if ((n = send(fd, data, size, MSG_NOSIGNAL)) <= 0) return false;
        return true;
    }
    // Copies both ways until either side ends or `stop` is set.
    static void relay(int a, int b, const std::atomic<bool>& stop) {
        uint8_t buffer[16384];
        while (!stop) {
            pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!p[i].revents) continue;
                const ssize_t n = recv(p[i].fd, buffer, sizeof buffer, 0);
                if (n <= 0 || !writeAll(p[1 - i].fd, buffer, static_cast<size_t>(n))) return;
            }
        }
    }

private:
    // Bound or connected to the loopback port; -1 when that fails. The port sits at the same place in
    // the addresses of both families.
    static int socketTo(int family, int port, int (*bindOrConnect)(int, const sockaddr*, socklen_t)) {
        sockaddr_in6 a{};
        a.sin6_family = static_cast<sa_family_t>(family);
        a.sin6_port = htons(static_cast<uint16_t>(port));
        if (family == AF_INET6) a.sin6_addr = in6addr_loopback;
        else reinterpret_cast<sockaddr_in&>(a).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0), on = 1;
        if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        const socklen_t len = family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        if (bindOrConnect(fd, reinterpret_cast<sockaddr*>(&a), len) == 0) return fd;
        close(fd);
        return -1;
    }
    static int portOf(int fd) {
        sockaddr_in6 a{};
        socklen_t len = sizeof a;
        return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? ntohs(a.sin6_port) : -1;
    }

    const int listener_;
    const Serve serve_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::vector<std::thread> clients_;
    std::thread thread_;
};

}  // namespace kntest
