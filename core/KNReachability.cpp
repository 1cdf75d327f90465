#include "kestrune/KNReachability.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "core/KNLog.h"
#include "platform/DispatchQueue.h"
#include "platform/NetworkMonitor.h"
#include "platform/NotificationCenter.h"

const char* const kKNReachabilityDidChangeNotification = "kKNReachabilityDidChangeNotification";
const char* const kKNReachabilityContext = "*** KNReachability ***";

namespace Flag = platform::ReachabilityFlag;

namespace {

std::shared_ptr<KNReachability> forIPv4Address(const char* dotted, bool onlyLocalWiFi,
                                               std::shared_ptr<KNReachability> (*make)(const sockaddr*, socklen_t)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    inet_pton(AF_INET, dotted, &address.sin_addr);
    auto reachability = make(reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (reachability) reachability->setCheckOnlyLocalWiFi(onlyLocalWiFi);
    return reachability;
}

}  // namespace

KNReachability::KNReachability(std::shared_ptr<platform::NetworkMonitor> monitor)
    : reachabilityRef_(std::move(monitor)),
      reachabilityQueue_(platform::DispatchQueue::createSerial("com.KestruneSDK.KNReachability")) {}

std::shared_ptr<KNReachability> KNReachability::withMonitor(std::shared_ptr<platform::NetworkMonitor> monitor) {
    if (!monitor) return nullptr;
    return std::shared_ptr<KNReachability>(new KNReachability(std::move(monitor)));
}

std::shared_ptr<KNReachability> KNReachability::reachabilityWithHostName(const std::string& hostName) {
    return withMonitor(platform::NetworkMonitor::createWithName(hostName));
}

std::shared_ptr<KNReachability> KNReachability::reachabilityWithHostAddress(const sockaddr* address,
                                                                            socklen_t length) {
    return withMonitor(platform::NetworkMonitor::createWithAddress(address, length));
}

std::shared_ptr<KNReachability> KNReachability::reachabilityForInternetConnection() {
    return forIPv4Address("0.0.0.0", false, &reachabilityWithHostAddress);
}

std::shared_ptr<KNReachability> KNReachability::reachabilityForLocalWiFi() {
    return forIPv4Address("169.254.0.0", true, &reachabilityWithHostAddress);
}

KNReachability::~KNReachability() {
    // May run on the monitor's own queue, when its last owner let go inside a callback: nothing
    // here waits for that queue.
    stopMonitoringNetworkStatus();
}

uint32_t KNReachability::reachabilityFlags() { return reachabilityRef_->flags().value_or(0); }

bool KNReachability::isReachable() {
    if (checkOnlyLocalWiFi()) return isReachableOnWiFi();
    const uint32_t flags = reachabilityFlags();
    const uint32_t transientAndRequired = Flag::TransientConnection | Flag::ConnectionRequired;
    return (flags & Flag::Reachable) && (flags & transientAndRequired) != transientAndRequired;
}

bool KNReachability::isReachableOnWiFi() {
    const uint32_t flags = reachabilityFlags();
    return (flags & Flag::Reachable) && !(flags & Flag::IsWWAN);
}

bool KNReachability::isReachableOnWWAN() {
    const uint32_t flags = reachabilityFlags();
    return (flags & Flag::Reachable) && (flags & Flag::IsWWAN);
}

bool KNReachability::isConnectionRequired() { return reachabilityFlags() & Flag::ConnectionRequired; }

bool KNReachability::isConnectionOnDemand() {
    const uint32_t flags = reachabilityFlags();
    return (flags & Flag::ConnectionRequired) && (flags & (Flag::ConnectionOnTraffic | Flag::ConnectionOnDemand));
}

bool KNReachability::isUserInterventionRequired() {
    const uint32_t flags = reachabilityFlags();
    return (flags & Flag::ConnectionRequired) && (flags & Flag::InterventionRequired);
}

KNNetworkStatus KNReachability::currentReachabilityStatus() {
    if (isReachableOnWiFi()) return KNNetworkStatusReachableViaWiFi;
    if (isReachableOnWWAN()) return KNNetworkStatusReachableViaWWAN;
    return KNNetworkStatusNotReachable;
}

std::string KNReachability::currentReachabilityString() {
    switch (currentReachabilityStatus()) {
    case KNNetworkStatusReachableViaWWAN: return "[*** Cellular Network Available ***]";
    case KNNetworkStatusReachableViaWiFi: return "[*** Local WiFi Available ***]";
    default: return "[*** No Connection Available ***]";
    }
}

std::string KNReachability::debugStringForFlags(uint32_t flags) const {
    auto letter = [flags](uint32_t bit, char set) { return (flags & bit) ? set : '-'; };
    char text[16];
    std::snprintf(text, sizeof text, "%c%c %c%c%c%c%c%c%c", letter(Flag::IsWWAN, 'W'), letter(Flag::Reachable, 'R'),
                  letter(Flag::TransientConnection, 't'), letter(Flag::ConnectionRequired, 'c'),
                  letter(Flag::ConnectionOnTraffic, 'C'), letter(Flag::InterventionRequired, 'i'),
                  letter(Flag::ConnectionOnDemand, 'D'), letter(Flag::IsLocalAddress, 'l'),
                  letter(Flag::IsDirect, 'd'));
    return text;
}

std::string KNReachability::debugFlagsString() { return debugStringForFlags(reachabilityFlags()); }

std::string KNReachability::debugDescription() {
    char address[24];
    std::snprintf(address, sizeof address, "%#x", static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)));
    return std::string("<KNReachability: ") + address + " - Flags: [" + debugFlagsString() + "]>";
}

bool KNReachability::startMonitoringNetworkStatus() {
    std::lock_guard lock(monitoringMutex_);
    if (didStartMonitoringNetworkStatus()) return true;
    // The platform holds the monitor only weakly: a change already queued when the monitor goes
    // finds nothing to call.
    std::weak_ptr<KNReachability> info = weak_from_this();
    if (!reachabilityRef_->setCallback([info](uint32_t flags) { KNReachabilityCallback(info, flags); })) {
        setDidStartMonitoringNetworkStatus(false);
        KNLog::sharedInstance()->logErrorScope(std::string(kKNReachabilityContext) +
                                                   " SCNetworkReachabilitySetCallback() failed: " +
                                                   reachabilityRef_->lastErrorString(),
                                               KNLogScopeAll);
        return false;
    }
    if (!reachabilityRef_->setDispatchQueue(reachabilityQueue_)) {
        setDidStartMonitoringNetworkStatus(false);
        reachabilityRef_->setCallback(nullptr);
        KNLog::sharedInstance()->logErrorScope(std::string(kKNReachabilityContext) +
                                                   " SCNetworkReachabilitySetDispatchQueue() failed: " +
                                                   reachabilityRef_->lastErrorString(),
                                               KNLogScopeAll);
    } else {
        setDidStartMonitoringNetworkStatus(true);
    }
    return didStartMonitoringNetworkStatus();
}

void KNReachability::stopMonitoringNetworkStatus() {
    std::lock_guard lock(monitoringMutex_);
    reachabilityRef_->setCallback(nullptr);
    reachabilityRef_->setDispatchQueue(nullptr);
    // Cleared, so that a later start installs again and answers for real.
    setDidStartMonitoringNetworkStatus(false);
}

void KNReachability::KNReachabilityCallback(const std::weak_ptr<KNReachability>& info, uint32_t flags) {
    // Held for the whole change, so an owner letting go inside a callback frees the monitor only
    // once the change is done.
    const auto reachability = info.lock();
    if (!reachability) return;
    reachability->setReachabilityFlags(flags);
    reachability->reachabilityChanged();
}

void KNReachability::reachabilityChanged() {
    KNLog::sharedInstance()->logInfoScope(std::string(kKNReachabilityContext) + " network status changed -> " +
                                              std::to_string(static_cast<int64_t>(currentReachabilityStatus())),
                                          KNLogScopeAll);
    if (isReachable()) {
        if (auto block = networkDidBecomeReachableBlock()) block(currentReachabilityStatus());
    } else {
        if (auto block = networkDidBecomeUnreachableBlock()) block();
    }
    if (auto block = networkDidChangeReachabilityBlock()) block(currentReachabilityStatus());
    platform::NotificationCenter::defaultCenter().post(kKNReachabilityDidChangeNotification, shared_from_this());
}

KNReachability::ReachableBlock KNReachability::networkDidBecomeReachableBlock() const {
    std::lock_guard lock(blocksMutex_);
    return reachableBlock_;
}

void KNReachability::setNetworkDidBecomeReachableBlock(ReachableBlock block) {
    std::lock_guard lock(blocksMutex_);
    reachableBlock_ = std::move(block);
}

KNReachability::UnreachableBlock KNReachability::networkDidBecomeUnreachableBlock() const {
    std::lock_guard lock(blocksMutex_);
    return unreachableBlock_;
}

void KNReachability::setNetworkDidBecomeUnreachableBlock(UnreachableBlock block) {
    std::lock_guard lock(blocksMutex_);
    unreachableBlock_ = std::move(block);
}

KNReachability::ChangeBlock KNReachability::networkDidChangeReachabilityBlock() const {
    std::lock_guard lock(blocksMutex_);
    return changeBlock_;
}

void KNReachability::setNetworkDidChangeReachabilityBlock(ChangeBlock block) {
    std::lock_guard lock(blocksMutex_);
    changeBlock_ = std::move(block);
}
