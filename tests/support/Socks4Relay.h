#pragma once
// A SOCKS4 proxy on loopback: records each CONNECT and, if it grants it, relays to the IPv4 named.
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
    // GrantInTwoParts sends the second half of the reply once the client has read the first.
    enum class Reply { Grant, GrantInTwoParts, Refuse };

    Socks4Relay(int family, Reply reply) : reply_(reply), server_(family, [this](int c, const std::atomic<bool>& s) { serve(c, s); }) {}
    int port() const { return server_.port(); }
    std::vector<std::vector<uint8_t>> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void serve(int client, const std::atomic<bool>& stopping) {
        std::vector<uint8_t> request(9);  // version, command, port, IPv4 address, empty user id
        if (LoopbackServer::readExactly(client, request.data(), request.size()) != request.size()) return;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
        }
        uint8_t reply[8] = {0, reply_ == Reply::Refuse ? uint8_t(91) : uint8_t(90)};
        std::memcpy(reply + 2, &request[2], 6);
        if (reply_ == Reply::Refuse) return void(LoopbackServer::writeAll(client, reply, sizeof reply));
        sockaddr_in to{AF_INET, 0, {}, {}};
        std::memcpy(reinterpret_cast<char*>(&to) + 2, &request[2], 6);  // port and address, as in the request
        const int upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(upstream, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
            const size_t sent = reply_ == Reply::GrantInTwoParts ? 4 : 0;
            LoopbackServer::writeAll(client, reply, sent);
            auto name = [](auto get, int s) {
                sockaddr_in6 a{};
                socklen_t len = sizeof a;
                get(s, reinterpret_cast<sockaddr*>(&a), &len);
                return std::string(reinterpret_cast<char*>(&a), len);
            };
            // Delivered and read by the client, whose end is a socket of this process.
            for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
                if (const int end = std::stoi(entry.path().filename()); sent && name(getsockname, end) == name(getpeername, client))
                    waitFor([&] {
                        int unacked = 1, unread = 1;
                        return !ioctl(client, SIOCOUTQ, &unacked) && !ioctl(end, FIONREAD, &unread) && !unacked && !unread;
                    }, std::chrono::seconds(5));
            LoopbackServer::writeAll(client, reply + sent, sizeof reply - sent);
            LoopbackServer::relay(client, upstream, stopping);
        }
        close(upstream);
    }

    const Reply reply_;
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> requests_;
    LoopbackServer server_;  // last: its threads use the members above
};

}  // namespace kntest
