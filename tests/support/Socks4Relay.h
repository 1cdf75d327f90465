#pragma once
// A SOCKS4 proxy on loopback: records each CONNECT request and, when it grants one, relays the
// connection to the IPv4 destination the request names.
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>

#include "LoopbackServer.h"
#include "TestServer.h"

namespace kntest {

class Socks4Relay {
public:
    // GrantInTwoParts writes the 8-byte reply in two, the second once the client has read the first.
    // Refuse answers code 91.
    enum class Reply { Grant, GrantInTwoParts, Refuse };

    Socks4Relay(int family, Reply reply)
        : reply_(reply), server_(family, [this](int client, const std::atomic<bool>& stop) { serve(client, stop); }) {}
    int port() const { return server_.port(); }
    // The 9-byte requests (version, command, port, IPv4 address, empty user id) in arrival order.
    std::vector<std::vector<uint8_t>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void serve(int client, const std::atomic<bool>& stopping) {
        std::vector<uint8_t> request(9);
        if (LoopbackServer::readExactly(client, request.data(), request.size()) != request.size()) return;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        uint8_t reply[8] = {0, reply_ == Reply::Refuse ? uint8_t(91) : uint8_t(90)};
        std::memcpy(reply + 2, &request[2], 6);  // the destination's port and address
        sockaddr_in destination{};
        destination.sin_family = AF_INET;
        std::memcpy(&destination.sin_port, &request[2], 2);
        std::memcpy(&destination.sin_addr, &request[4], 4);
        const int upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (reply_ == Reply::Refuse) {
            LoopbackServer::writeAll(client, reply, sizeof reply);
        } else if (connect(upstream, reinterpret_cast<sockaddr*>(&destination), sizeof destination) == 0) {
            size_t sent = 0;
            if (reply_ == Reply::GrantInTwoParts) {
                LoopbackServer::writeAll(client, reply, sent = 4);
                const int clientEnd = ownPeer(client);
                // Delivered (nothing unacknowledged) and taken in (nothing unread) by the client.
                waitFor([&] {
                    int unacknowledged = 1, unread = 1;
                    ioctl(client, SIOCOUTQ, &unacknowledged);
                    if (clientEnd >= 0) ioctl(clientEnd, FIONREAD, &unread);
                    return unacknowledged == 0 && unread == 0;
                }, std::chrono::seconds(5));
            }
            LoopbackServer::writeAll(client, reply + sent, sizeof reply - sent);
            LoopbackServer::relay(client, upstream, stopping);
        }
        close(upstream);
    }

    // This process's own socket at the other end of `fd`.
    static int ownPeer(int fd) {
        auto name = [](auto get, int s) {
            sockaddr_storage a{};
            socklen_t len = sizeof a;
            return get(s, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? std::string(reinterpret_cast<char*>(&a), len) : "";
        };
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            const int s = std::stoi(entry.path().filename().string());
            if (name(getsockname, s) == name(getpeername, fd) && name(getpeername, s) == name(getsockname, fd)) return s;
        }
        return -1;
    }

    const Reply reply_;
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> requests_;
    LoopbackServer server_;  // last: its threads use the members above
};

}  // namespace kntest
