#pragma once
// A SOCKS4 proxy on loopback for the tests: records each CONNECT request and, when it grants one,
// relays the connection to the IPv4 destination the request names.
#include <cstdint>
#include <mutex>
#include <vector>

#include "LoopbackServer.h"

namespace kntest {

class Socks4Relay {
public:
    enum class Reply {
        Grant,
        // The 8-byte reply in two writes, the second only once the client has read the first.
        GrantInTwoParts,
        // Reply code 91: request rejected.
        Refuse,
    };

    Socks4Relay(int family, Reply reply);
    int port() const { return server_.port(); }
    // The 9-byte requests (version, command, port, IPv4 address, empty user id) in arrival order.
    std::vector<std::vector<uint8_t>> requests() const;

private:
    void serve(int client, const std::atomic<bool>& stopping);

    const Reply reply_;
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> requests_;
    LoopbackServer server_;  // last: its threads use the members above
};

}  // namespace kntest
