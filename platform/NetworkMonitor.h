#pragma once
// Whether a target can be reached: an address, a named host, or, with the zero address, the
// network as a whole. Answers the current flags on demand and calls back on a queue whenever they
// change. Backed by the kernel's routing interface (rtnetlink: links, routes and their change
// events) and this host's interface addresses (getifaddrs).
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

class DispatchQueue;

// Reachability flag bits.
namespace ReachabilityFlag {
inline constexpr uint32_t TransientConnection = 1u << 0;
inline constexpr uint32_t Reachable = 1u << 1;
inline constexpr uint32_t ConnectionRequired = 1u << 2;
inline constexpr uint32_t ConnectionOnTraffic = 1u << 3;
inline constexpr uint32_t InterventionRequired = 1u << 4;
inline constexpr uint32_t ConnectionOnDemand = 1u << 5;
inline constexpr uint32_t IsLocalAddress = 1u << 16;
inline constexpr uint32_t IsDirect = 1u << 17;
inline constexpr uint32_t IsWWAN = 1u << 18;
}  // namespace ReachabilityFlag

class NetworkMonitor {
public:
    using Callback = std::function<void(uint32_t flags)>;

    // The zero address (IPv4 or IPv6) stands for the network: reachable when a default route
    // leaves through an interface that is up, running and not loopback. Another address is
    // reachable when the kernel routes it that way, or when it is one of this host's own. A
    // point-to-point or raw-IP interface (modems) sets IsWWAN. Null when the kernel's routing
    // interface can't be opened.
    static std::shared_ptr<NetworkMonitor> createWithAddress(const sockaddr* address, socklen_t length);
    // A numeric name is its address; other names are not resolved (a query must never wait on the
    // name service) and answer as the network as a whole.
    static std::shared_ptr<NetworkMonitor> createWithName(const std::string& name);

    virtual ~NetworkMonitor() = default;

    // Asked of the kernel anew; nullopt when it can't be asked.
    virtual std::optional<uint32_t> flags() = 0;
    // Once both a callback and a queue are set, the callback runs on the queue each time the flags
    // differ from the last ones seen (those at installation, first); never at installation itself.
    // Clearing either (empty callback, null queue) ends the calls: once it returns, none is queued
    // and those already queued are dropped (one already running finishes).
    virtual bool setCallback(Callback callback) = 0;
    virtual bool setDispatchQueue(std::shared_ptr<DispatchQueue> queue) = 0;
    // Why the last setCallback or setDispatchQueue failed.
    virtual std::string lastErrorString() const = 0;

    // Test hook, process-wide: the factories ask `factory` (name is null for an address) until
    // cleared, so tests can drive flags that this host's network can't produce.
    using Factory =
        std::function<std::shared_ptr<NetworkMonitor>(const sockaddr* address, socklen_t length, const std::string* name)>;
    static void setFactoryForTesting(Factory factory);
    static void clearFactoryForTesting();
};

}  // namespace platform
