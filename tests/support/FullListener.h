#pragma once
// A listener on loopback whose accept queue is full: a further SYN goes unanswered.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace kntest {

struct FullListener {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::vector<int> queued;
    int port = 0;
    FullListener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(listener, reinterpret_cast<sockaddr*>(&address), length);
        listen(listener, 0);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        for (int i = 0; i < 2; ++i) {
            queued.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            connect(queued.back(), reinterpret_cast<sockaddr*>(&address), length);
        }
        port = ntohs(address.sin_port);
    }
    ~FullListener() {
        for (int fd : queued) close(fd);
        close(listener);
    }
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;
};

}  // namespace kntest
