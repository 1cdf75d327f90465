#pragma once
// A TCP server on loopback for peers that misbehave, each connection served on its own thread.
#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace kntest {

class LoopbackServer {
public:
    using Serve = std::function<void(int client, const std::atomic<bool>& stopping)>;

    LoopbackServer(int family, Serve serve) : listener_(socketTo(family, 0, ::bind)), serve_(std::move(serve)) {
        listen(listener_, 16);
        thread_ = std::thread([this] {
            for (pollfd p{listener_, POLLIN, 0}; !stopping_;)
                if (const int c = poll(&p, 1, 20) > 0 ? accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1; c >= 0)
                    clients_.emplace_back([this, c] {
                        serve_(c, stopping_);
                        close(c);
                    });
        });
    }
    ~LoopbackServer() {
        stopping_ = true;
        thread_.join();
        close(listener_);
    }

    int port() const { return portOf(listener_); }
    static int unusedPort(int family = AF_INET) { return LoopbackServer(family, nullptr).port(); }
    static int connectTo(int family, int port) { return socketTo(family, port, ::connect); }
    // Until `size` bytes, the peer's close or 10 s without data; answers how many came.
    static size_t readExactly(int fd, uint8_t* data, size_t size) {
        size_t got = 0;
        pollfd p{fd, POLLIN, 0};
        for (ssize_t n; got < size && poll(&p, 1, 10000) > 0 && (n = recv(fd, data + got, size - got, 0)) > 0;) got += size_t(n);
        return got;
    }
    static bool writeAll(int fd, const uint8_t* data, size_t size) {
        for (ssize_t n; size > 0; data += n, size -= size_t(n))
            if ((n = send(fd, data, size, MSG_NOSIGNAL)) <= 0) return false;
        return true;
    }
    static void relay(int a, int b, const std::atomic<bool>& stop) {
        uint8_t buffer[16384];
        for (pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}}; !stop;)
            for (int i = 0, ready = poll(p, 2, 20); i < 2 && ready > 0; ++i)
                if (ssize_t n; p[i].revents && ((n = recv(p[i].fd, buffer, sizeof buffer, 0)) <= 0 || !writeAll(p[1 - i].fd, buffer, size_t(n))))
                    return;
    }

private:
    static int socketTo(int family, int port, int (*bindOrConnect)(int, const sockaddr*, socklen_t)) {
        sockaddr_in6 a{};  // the port sits where it does in sockaddr_in
        a.sin6_family = sa_family_t(family);
        a.sin6_port = htons(uint16_t(port));
        if (family == AF_INET6) a.sin6_addr = in6addr_loopback;
        else reinterpret_cast<sockaddr_in&>(a).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bindOrConnect(fd, reinterpret_cast<sockaddr*>(&a), family == AF_INET6 ? sizeof a : sizeof(sockaddr_in)) == 0) return fd;
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
    std::vector<std::jthread> clients_;  // joined before the members they use go
    std::thread thread_;
};

}  // namespace kntest
