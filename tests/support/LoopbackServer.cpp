#include "LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

namespace kntest {

namespace {

int portOf(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    return -1;
}

int bindLoopback(int family) {
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (family == AF_INET6) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    return fd;
}

}  // namespace

LoopbackServer::LoopbackServer(int family, Serve serve)
    : listener_(bindLoopback(family)), port_(localPort(listener_)), serve_(std::move(serve)) {
    listen(listener_, 16);
    thread_ = std::thread([this] { run(); });
}

LoopbackServer::~LoopbackServer() {
    stopping_ = true;
    thread_.join();
    for (auto& t : clients_) t.join();
    close(listener_);
}

void LoopbackServer::run() {
    while (!stopping_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        ++accepted_;
        clients_.emplace_back([this, client] {
            serve_(client, stopping_);
            close(client);
        });
    }
}

int LoopbackServer::unusedPort(int family) {
    int fd = bindLoopback(family);
    const int port = localPort(fd);
    close(fd);
    return port;
}

int LoopbackServer::localPort(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? portOf(a) : -1;
}

int LoopbackServer::peerPort(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    return getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? portOf(a) : -1;
}

size_t LoopbackServer::readExactly(int fd, uint8_t* data, size_t size, std::chrono::milliseconds idle) {
    size_t got = 0;
    while (got < size) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(idle.count())) <= 0) break;
        const ssize_t n = recv(fd, data + got, size - got, 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

bool LoopbackServer::writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void LoopbackServer::relay(int a, int b, const std::atomic<bool>& stop) {
    uint8_t buffer[16384];
    while (!stop) {
        pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        if (poll(p, 2, 20) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!p[i].revents) continue;
            const ssize_t n = recv(p[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0 || !writeAll(i == 0 ? b : a, buffer, static_cast<size_t>(n))) return;
        }
    }
}

}  // namespace kntest
