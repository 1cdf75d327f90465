#include "platform/NetworkMonitor.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
// After the C library's interface headers, whose definitions the kernel's would clash with.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.h"

#ifndef ARPHRD_RAWIP
#define ARPHRD_RAWIP 519
#endif

namespace platform {

namespace {

constexpr size_t kReceiveBufferBytes = 32 * 1024;
constexpr int kReplyTimeoutSeconds = 2;

struct Target {
    bool network = true;  // the zero address or an unresolved name
    int family = AF_INET;
    unsigned char address[16] = {};

    size_t addressBytes() const { return family == AF_INET ? 4 : 16; }
};

struct Interface {
    unsigned flags = 0;
    unsigned short type = 0;

    bool usable() const { return (flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK); }
    bool cellular() const {
        return (flags & IFF_POINTOPOINT) || type == ARPHRD_PPP || type == ARPHRD_NONE || type == ARPHRD_RAWIP;
    }
};

struct HostInterfaces {
    std::map<int, Interface> byIndex;
    std::vector<std::pair<int, std::vector<unsigned char>>> ownAddresses;  // family, bytes
};

// One request/reply exchange with the kernel's routing interface.
class RouteSocket {
public:
    RouteSocket() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {
        if (fd_ >= 0) {
            timeval timeout{kReplyTimeoutSeconds, 0};
            setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        }
    }
    ~RouteSocket() {
        if (fd_ >= 0) close(fd_);
    }
    RouteSocket(const RouteSocket&) = delete;
    RouteSocket& operator=(const RouteSocket&) = delete;

    bool ok() const { return fd_ >= 0; }

    // Hands each reply message to `each` until the kernel is done (a dump) or has answered once.
    // False when the exchange fails or the kernel answers with an error (stored in `error`).
    bool transact(nlmsghdr* request, const std::function<void(const nlmsghdr*)>& each, int* error = nullptr) {
        static std::atomic<uint32_t> sequence{1};
        request->nlmsg_seq = sequence.fetch_add(1);
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (sendto(fd_, request, request->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
            if (error) *error = errno;
            return false;
        }
        const bool dump = request->nlmsg_flags & NLM_F_DUMP;
        std::vector<char> buffer(kReceiveBufferBytes);
        for (;;) {
            const ssize_t got = recv(fd_, buffer.data(), buffer.size(), 0);
            if (got < 0) {
                if (errno == EINTR) continue;
                if (error) *error = errno;
                return false;
            }
            auto length = static_cast<unsigned>(got);
            for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(message, length);
                 message = NLMSG_NEXT(message, length)) {
                if (message->nlmsg_seq != request->nlmsg_seq) continue;
                if (message->nlmsg_type == NLMSG_DONE) return true;
                if (message->nlmsg_type == NLMSG_ERROR) {
                    const auto* failure = static_cast<const nlmsgerr*>(NLMSG_DATA(message));
                    if (failure->error == 0) return true;
                    if (error) *error = -failure->error;
                    return false;
                }
                each(message);
                if (!dump) return true;
            }
        }
    }

    // Asks for every object of one kind (links, routes) and hands each over.
    template <class Body>
    bool dump(uint16_t type, const Body& body, const std::function<void(const nlmsghdr*)>& each) {
        struct {
            nlmsghdr header;
            Body body;
        } request{};
        request.header.nlmsg_len = NLMSG_LENGTH(sizeof(Body));
        request.header.nlmsg_type = type;
        request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.body = body;
        return transact(&request.header, each);
    }

private:
    int fd_;
};

// The links from the kernel (an interface without a hardware address has no entry of its own in
// getifaddrs), this host's addresses from getifaddrs.
std::optional<HostInterfaces> readInterfaces(RouteSocket& socket) {
    HostInterfaces host;
    const bool answered = socket.dump(RTM_GETLINK, ifinfomsg{}, [&](const nlmsghdr* message) {
        if (message->nlmsg_type != RTM_NEWLINK) return;
        const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(message));
        host.byIndex[link->ifi_index] = Interface{link->ifi_flags, link->ifi_type};
    });
    if (!answered) return std::nullopt;

    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    for (ifaddrs* item = list; item; item = item->ifa_next) {
        if (!item->ifa_addr) continue;
        if (item->ifa_addr->sa_family == AF_INET) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in*>(item->ifa_addr)->sin_addr);
            host.ownAddresses.emplace_back(AF_INET, std::vector<unsigned char>(bytes, bytes + 4));
        } else if (item->ifa_addr->sa_family == AF_INET6) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in6*>(item->ifa_addr)->sin6_addr);
            host.ownAddresses.emplace_back(AF_INET6, std::vector<unsigned char>(bytes, bytes + 16));
        }
    }
    freeifaddrs(list);
    return host;
}

struct RouteAttributes {
    int outputInterface = 0;
    bool hasGateway = false;
    uint32_t priority = 0;
    uint32_t table = 0;
    std::vector<std::pair<int, unsigned>> nextHops;  // interface, flags (multipath routes)
};

RouteAttributes parseRoute(const nlmsghdr* message) {
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(message));
    RouteAttributes parsed;
    parsed.table = route->rtm_table;
    int length = static_cast<int>(RTM_PAYLOAD(message));
    for (const rtattr* attribute = RTM_RTA(route); RTA_OK(attribute, length); attribute = RTA_NEXT(attribute, length)) {
        const void* data = RTA_DATA(attribute);
        switch (attribute->rta_type) {
        case RTA_OIF: std::memcpy(&parsed.outputInterface, data, sizeof(int)); break;
        case RTA_GATEWAY:
        case RTA_VIA: parsed.hasGateway = true; break;
        case RTA_PRIORITY: std::memcpy(&parsed.priority, data, sizeof(uint32_t)); break;
        case RTA_TABLE: std::memcpy(&parsed.table, data, sizeof(uint32_t)); break;
        case RTA_MULTIPATH: {
            int left = static_cast<int>(RTA_PAYLOAD(attribute));
            const auto* hop = static_cast<const rtnexthop*>(data);
            while (left >= static_cast<int>(sizeof(rtnexthop)) && hop->rtnh_len >= sizeof(rtnexthop) &&
                   hop->rtnh_len <= left) {
                parsed.nextHops.emplace_back(hop->rtnh_ifindex, hop->rtnh_flags);
                left -= RTNH_ALIGN(hop->rtnh_len);
                hop = RTNH_NEXT(hop);
            }
            break;
        }
        default: break;
        }
    }
    return parsed;
}

constexpr unsigned kDeadHop = RTNH_F_DEAD | RTNH_F_LINKDOWN;

std::optional<uint32_t> networkFlags(RouteSocket& socket, const HostInterfaces& host) {
    // The default route with the lowest metric among those that can carry traffic decides.
    std::optional<std::pair<uint32_t, bool>> best;  // metric, cellular
    auto consider = [&](int index, unsigned hopFlags, uint32_t metric) {
        const auto found = host.byIndex.find(index);
        if ((hopFlags & kDeadHop) || found == host.byIndex.end() || !found->second.usable()) return;
        if (!best || metric < best->first) best = std::make_pair(metric, found->second.cellular());
    };
    const bool answered = socket.dump(RTM_GETROUTE, rtmsg{}, [&](const nlmsghdr* message) {
        if (message->nlmsg_type != RTM_NEWROUTE) return;
        const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(message));
        if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) return;
        if (route->rtm_family != AF_INET && route->rtm_family != AF_INET6) return;
        const RouteAttributes parsed = parseRoute(message);
        if (parsed.table != RT_TABLE_MAIN) return;
        if (parsed.outputInterface) consider(parsed.outputInterface, route->rtm_flags, parsed.priority);
        for (const auto& [index, hopFlags] : parsed.nextHops) consider(index, hopFlags, parsed.priority);
    });
    if (!answered) return std::nullopt;
    if (!best) return 0u;
    return ReachabilityFlag::Reachable | (best->second ? ReachabilityFlag::IsWWAN : 0u);
}

std::optional<uint32_t> addressFlags(RouteSocket& socket, const HostInterfaces& host, const Target& target) {
    const std::vector<unsigned char> bytes(target.address, target.address + target.addressBytes());
    constexpr uint32_t kLocal =
        ReachabilityFlag::Reachable | ReachabilityFlag::IsLocalAddress | ReachabilityFlag::IsDirect;
    for (const auto& [family, own] : host.ownAddresses) {
        if (family == target.family && own == bytes) return kLocal;
    }

    struct {
        nlmsghdr header;
        rtmsg route;
        char attributes[64];
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.route.rtm_family = static_cast<unsigned char>(target.family);
    request.route.rtm_dst_len = static_cast<unsigned char>(target.addressBytes() * 8);
    auto* destination = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + NLMSG_ALIGN(request.header.nlmsg_len));
    destination->rta_type = RTA_DST;
    destination->rta_len = static_cast<unsigned short>(RTA_LENGTH(target.addressBytes()));
    std::memcpy(RTA_DATA(destination), target.address, target.addressBytes());
    request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(destination->rta_len);

    uint32_t flags = 0;
    int error = 0;
    const bool answered = socket.transact(&request.header, [&](const nlmsghdr* message) {
        if (message->nlmsg_type != RTM_NEWROUTE) return;
        const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(message));
        if (route->rtm_type == RTN_LOCAL) {
            flags = kLocal;
            return;
        }
        if (route->rtm_type != RTN_UNICAST) return;
        const RouteAttributes parsed = parseRoute(message);
        const auto found = host.byIndex.find(parsed.outputInterface);
        if ((route->rtm_flags & kDeadHop) || found == host.byIndex.end() || !found->second.usable()) return;
        flags = ReachabilityFlag::Reachable | (parsed.hasGateway ? 0u : ReachabilityFlag::IsDirect) |
                (found->second.cellular() ? ReachabilityFlag::IsWWAN : 0u);
    }, &error);
    // No route at all is an answer too: not reachable.
    if (!answered && error != ENETUNREACH && error != EHOSTUNREACH && error != ENETDOWN) return std::nullopt;
    return flags;
}

std::optional<uint32_t> computeFlags(const Target& target) {
    RouteSocket socket;
    if (!socket.ok()) return std::nullopt;
    const auto host = readInterfaces(socket);
    if (!host) return std::nullopt;
    return target.network ? networkFlags(socket, *host) : addressFlags(socket, *host, target);
}

// A monitor's registration with the watcher.
struct Entry {
    explicit Entry(Target t) : target(t) {}
    const Target target;

    std::mutex mutex;  // guards the three below
    NetworkMonitor::Callback callback;
    std::shared_ptr<DispatchQueue> queue;
    uint64_t generation = 0;  // bumped whenever calls stop, so calls queued earlier are dropped

    uint32_t lastFlags = 0;  // the watcher's, under its mutex
};

// One thread for the process, listening to the kernel's route, link and address events while any
// monitor is installed.
class Watcher {
public:
    static std::shared_ptr<Watcher> acquire(std::string& error) {
        static std::mutex mutex;
        static std::weak_ptr<Watcher>* current = new std::weak_ptr<Watcher>();  // never destroyed
        std::lock_guard lock(mutex);
        if (auto watcher = current->lock()) return watcher;
        auto watcher = std::shared_ptr<Watcher>(new Watcher());
        if (!watcher->start(error)) return nullptr;
        *current = watcher;
        return watcher;
    }

    ~Watcher() {
        if (thread_.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] ssize_t written = write(stopFd_, &one, sizeof one);
            thread_.join();
        }
        if (eventFd_ >= 0) close(eventFd_);
        if (stopFd_ >= 0) close(stopFd_);
    }

    void add(const std::shared_ptr<Entry>& entry) {
        std::lock_guard lock(mutex_);
        // Under the mutex, so that no event handled meanwhile is missed.
        entry->lastFlags = computeFlags(entry->target).value_or(0);
        entries_.push_back(entry);
    }

    void remove(const std::shared_ptr<Entry>& entry) {
        std::lock_guard lock(mutex_);
        entries_.erase(std::remove(entries_.begin(), entries_.end(), entry), entries_.end());
    }

private:
    Watcher() = default;

    bool start(std::string& error) {
        eventFd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        stopFd_ = eventfd(0, EFD_CLOEXEC);
        if (eventFd_ < 0 || stopFd_ < 0) {
            error = std::strerror(errno);
            return false;
        }
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
        if (bind(eventFd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            error = std::strerror(errno);
            return false;
        }
        thread_ = std::thread([this] { run(); });
        return true;
    }

    void run() {
        std::vector<char> buffer(kReceiveBufferBytes);
        pollfd fds[2] = {{eventFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            if (!fds[0].revents) continue;
            // Only the fact of a change matters: the state is read anew below. An overrun
            // (ENOBUFS) lost events, which the fresh read makes up for.
            for (;;) {
                const ssize_t got = recv(eventFd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (got >= 0 || errno == ENOBUFS || errno == EINTR) continue;
                break;
            }
            deliverChanges();
        }
    }

    void deliverChanges() {
        std::lock_guard lock(mutex_);
        for (const auto& entry : entries_) {
            const auto flags = computeFlags(entry->target);
            if (!flags || *flags == entry->lastFlags) continue;
            entry->lastFlags = *flags;
            std::shared_ptr<DispatchQueue> queue;
            uint64_t generation;
            {
                std::lock_guard entryLock(entry->mutex);
                queue = entry->queue;
                generation = entry->generation;
            }
            if (!queue) continue;
            queue->async([weak = std::weak_ptr<Entry>(entry), generation, value = *flags] {
                const auto entry = weak.lock();
                if (!entry) return;
                NetworkMonitor::Callback callback;
                {
                    std::lock_guard entryLock(entry->mutex);
                    if (entry->generation != generation) return;
                    callback = entry->callback;
                }
                if (callback) callback(value);
            });
        }
    }

    int eventFd_ = -1;
    int stopFd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Entry>> entries_;
};

class NetlinkMonitor final : public NetworkMonitor {
public:
    explicit NetlinkMonitor(Target target) : entry_(std::make_shared<Entry>(target)) {}

    ~NetlinkMonitor() override {
        std::lock_guard lock(stateMutex_);
        if (watcher_) watcher_->remove(entry_);
    }

    std::optional<uint32_t> flags() override { return computeFlags(entry_->target); }

    bool setCallback(Callback callback) override {
        {
            std::lock_guard lock(entry_->mutex);
            if (!callback) ++entry_->generation;
            entry_->callback = std::move(callback);
        }
        return update();
    }

    bool setDispatchQueue(std::shared_ptr<DispatchQueue> queue) override {
        {
            std::lock_guard lock(entry_->mutex);
            if (!queue) ++entry_->generation;
            entry_->queue = std::move(queue);
        }
        return update();
    }

    std::string lastErrorString() const override {
        std::lock_guard lock(stateMutex_);
        return lastError_;
    }

private:
    // Listens while both a callback and a queue are set.
    bool update() {
        bool wanted;
        {
            std::lock_guard lock(entry_->mutex);
            wanted = entry_->callback && entry_->queue;
        }
        std::shared_ptr<Watcher> released;
        std::lock_guard lock(stateMutex_);
        if (wanted && !watcher_) {
            std::string error;
            watcher_ = Watcher::acquire(error);
            if (!watcher_) {
                lastError_ = error;
                return false;
            }
            watcher_->add(entry_);
        } else if (!wanted && watcher_) {
            watcher_->remove(entry_);
            released = std::move(watcher_);
        }
        return true;
    }

    const std::shared_ptr<Entry> entry_;
    mutable std::mutex stateMutex_;
    std::shared_ptr<Watcher> watcher_;
    std::string lastError_;
};

std::mutex factoryMutex;
NetworkMonitor::Factory testFactory;

std::optional<NetworkMonitor::Factory> factoryForTesting() {
    std::lock_guard lock(factoryMutex);
    if (!testFactory) return std::nullopt;
    return testFactory;
}

bool isZero(const Target& target) {
    return std::all_of(target.address, target.address + target.addressBytes(), [](unsigned char byte) { return byte == 0; });
}

std::shared_ptr<NetworkMonitor> createForTarget(const Target& target) {
    if (!RouteSocket().ok()) return nullptr;
    return std::make_shared<NetlinkMonitor>(target);
}

}  // namespace

std::shared_ptr<NetworkMonitor> NetworkMonitor::createWithAddress(const sockaddr* address, socklen_t length) {
    if (auto factory = factoryForTesting()) return (*factory)(address, length, nullptr);
    if (!address) return nullptr;
    Target target;
    target.family = address->sa_family;
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        std::memcpy(target.address, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
    } else if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        std::memcpy(target.address, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
    } else {
        return nullptr;
    }
    target.network = isZero(target);
    return createForTarget(target);
}

std::shared_ptr<NetworkMonitor> NetworkMonitor::createWithName(const std::string& name) {
    if (auto factory = factoryForTesting()) return (*factory)(nullptr, 0, &name);
    Target target;
    if (inet_pton(AF_INET, name.c_str(), target.address) == 1) {
        target.family = AF_INET;
    } else if (inet_pton(AF_INET6, name.c_str(), target.address) == 1) {
        target.family = AF_INET6;
    } else {
        return createForTarget(target);  // the network as a whole
    }
    target.network = isZero(target);
    return createForTarget(target);
}

void NetworkMonitor::setFactoryForTesting(Factory factory) {
    std::lock_guard lock(factoryMutex);
    testFactory = std::move(factory);
}

void NetworkMonitor::clearFactoryForTesting() {
    std::lock_guard lock(factoryMutex);
    testFactory = nullptr;
}

}  // namespace platform
