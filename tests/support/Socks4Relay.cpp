#include "Socks4Relay.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "TestServer.h"

namespace kntest {

namespace {

// The other end of one of this process's own connections, found by the ports of both ends.
int findLocalSocket(int localPort, int peerPort) {
    int found = -1;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    while (dirent* e = readdir(dir)) {
        const int fd = std::atoi(e->d_name);
        if (fd > 2 && fd != dirfd(dir) && LoopbackServer::localPort(fd) == localPort &&
            LoopbackServer::peerPort(fd) == peerPort) {
            found = fd;
        }
    }
    closedir(dir);
    return found;
}

}  // namespace

Socks4Relay::Socks4Relay(int family, Reply reply)
    : reply_(reply), server_(family, [this](int client, const std::atomic<bool>& stopping) { serve(client, stopping); }) {}

std::vector<std::vector<uint8_t>> Socks4Relay::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void Socks4Relay::serve(int client, const std::atomic<bool>& stopping) {
    std::vector<uint8_t> request(9);
    if (LoopbackServer::readExactly(client, request.data(), request.size()) != request.size()) return;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    uint8_t reply[8] = {0, 90, request[2], request[3], request[4], request[5], request[6], request[7]};
    if (reply_ == Reply::Refuse) {
        reply[1] = 91;
        LoopbackServer::writeAll(client, reply, sizeof reply);
        return;
    }
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    std::memcpy(&destination.sin_port, &request[2], 2);
    std::memcpy(&destination.sin_addr, &request[4], 4);
    const int upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(upstream, reinterpret_cast<sockaddr*>(&destination), sizeof destination) != 0) {
        close(upstream);
        return;
    }
    if (reply_ == Reply::GrantInTwoParts) {
        LoopbackServer::writeAll(client, reply, 4);
        const int clientEnd = findLocalSocket(LoopbackServer::peerPort(client), LoopbackServer::localPort(client));
        // Delivered (nothing unacknowledged) and taken in (nothing unread) by the client.
        waitFor(
            [&] {
                int unacknowledged = 1, unread = 1;
                ioctl(client, SIOCOUTQ, &unacknowledged);
                if (clientEnd >= 0) ioctl(clientEnd, FIONREAD, &unread);
                return unacknowledged == 0 && unread == 0;
            },
            std::chrono::seconds(5));
        LoopbackServer::writeAll(client, reply + 4, 4);
    } else {
        LoopbackServer::writeAll(client, reply, sizeof reply);
    }
    LoopbackServer::relay(client, upstream, stopping);
    close(upstream);
}

}  // namespace kntest
