#pragma once
// Watches whether a host, an address or the network as a whole can be reached; once monitoring is
// started, reports each change through three callbacks and a notification on a queue of its own.
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform {
class DispatchQueue;
class NetworkMonitor;
}  // namespace platform

enum KNNetworkStatus : int64_t {
    KNNetworkStatusNotReachable = 0,
    KNNetworkStatusReachableViaWiFi = 1,
    KNNetworkStatusReachableViaWWAN = 2,  // a cellular network
};

// Posted on the monitor's queue after every change, with the monitor as object.
extern const char* const kKNReachabilityDidChangeNotification;
// The prefix of the monitor's console lines.
extern const char* const kKNReachabilityContext;

class KNReachability : public std::enable_shared_from_this<KNReachability> {
public:
    using ReachableBlock = std::function<void(KNNetworkStatus status)>;
    using UnreachableBlock = std::function<void()>;
    using ChangeBlock = std::function<void(KNNetworkStatus status)>;

    // Each returns a new monitor, or null when the platform can't watch the target.
    static std::shared_ptr<KNReachability> reachabilityWithHostName(const std::string& hostName);
    static std::shared_ptr<KNReachability> reachabilityWithHostAddress(const sockaddr* address, socklen_t length);
    // The network as a whole (0.0.0.0).
    static std::shared_ptr<KNReachability> reachabilityForInternetConnection();
    // The link-local network (169.254.0.0); isReachable then means reachable on WiFi.
    static std::shared_ptr<KNReachability> reachabilityForLocalWiFi();

    ~KNReachability();
    KNReachability(const KNReachability&) = delete;
    KNReachability& operator=(const KNReachability&) = delete;

    // Every query reads the live flags anew; flags that can't be read count as all clear.
    bool isReachable();
    bool isReachableOnWiFi();
    bool isReachableOnWWAN();
    bool isConnectionRequired();
    bool isConnectionOnDemand();
    bool isUserInterventionRequired();
    KNNetworkStatus currentReachabilityStatus();
    std::string currentReachabilityString();
    // Nine flag letters, e.g. "WR -------".
    std::string debugStringForFlags(uint32_t flags) const;
    std::string debugFlagsString();
    std::string debugDescription();

    // Installs the change handling; true when it runs (also when it already did).
    bool startMonitoringNetworkStatus();
    void stopMonitoringNetworkStatus();
    // The change handling: a console line, the callbacks, then the notification.
    void reachabilityChanged();

    bool isUserInteractionRequired() const { return false; }
    bool didStartMonitoringNetworkStatus() const { return didStartMonitoringNetworkStatus_.load(); }
    void setDidStartMonitoringNetworkStatus(bool started) { didStartMonitoringNetworkStatus_.store(started); }
    bool checkOnlyLocalWiFi() const { return checkOnlyLocalWiFi_.load(); }
    void setCheckOnlyLocalWiFi(bool only) { checkOnlyLocalWiFi_.store(only); }
    // Reading asks the platform now (0 when it can't); writing keeps the flags of the last change.
    uint32_t reachabilityFlags();
    void setReachabilityFlags(uint32_t flags) { storedFlags_.store(flags); }

    ReachableBlock networkDidBecomeReachableBlock() const;
    void setNetworkDidBecomeReachableBlock(ReachableBlock block);
    UnreachableBlock networkDidBecomeUnreachableBlock() const;
    void setNetworkDidBecomeUnreachableBlock(UnreachableBlock block);
    ChangeBlock networkDidChangeReachabilityBlock() const;
    void setNetworkDidChangeReachabilityBlock(ChangeBlock block);

    const std::shared_ptr<platform::DispatchQueue>& reachabilityQueue() const { return reachabilityQueue_; }

private:
    explicit KNReachability(std::shared_ptr<platform::NetworkMonitor> monitor);
    static std::shared_ptr<KNReachability> withMonitor(std::shared_ptr<platform::NetworkMonitor> monitor);
    static void KNReachabilityCallback(const std::weak_ptr<KNReachability>& info, uint32_t flags);

    const std::shared_ptr<platform::NetworkMonitor> reachabilityRef_;
    const std::shared_ptr<platform::DispatchQueue> reachabilityQueue_;
    std::atomic<bool> didStartMonitoringNetworkStatus_{false};
    std::atomic<bool> checkOnlyLocalWiFi_{false};
    std::atomic<uint32_t> storedFlags_{0};
    std::mutex monitoringMutex_;  // one start or stop at a time
    mutable std::mutex blocksMutex_;
    ReachableBlock reachableBlock_;
    UnreachableBlock unreachableBlock_;
    ChangeBlock changeBlock_;
};
