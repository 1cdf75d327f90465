#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>

#include "kestrune/KNReachability.h"
#include "platform/DispatchQueue.h"
#include "platform/NetworkMonitor.h"
#include "platform/NotificationCenter.h"
#include "support/TestServer.h"

namespace {

using namespace std::chrono_literals;
constexpr uint32_t kUp = platform::ReachabilityFlag::Reachable;

// A change is queued as the platform queues it: the installed callback, on the installed queue.
struct FakeMonitor : platform::NetworkMonitor {
    std::optional<uint32_t> flags() override { return current.load(); }
    bool setCallback(Callback c) override {
        std::lock_guard lock(mutex);
        callback = std::move(c);
        return true;
    }
    bool setDispatchQueue(std::shared_ptr<platform::DispatchQueue> q) override {
        std::lock_guard lock(mutex);
        queue = std::move(q);
        return true;
    }
    std::string lastErrorString() const override { return ""; }
    void change(uint32_t flags) {
        std::lock_guard lock(mutex);
        if (callback && queue) queue->async([c = callback, flags] { c(flags); });
    }
    bool installed() {
        std::lock_guard lock(mutex);
        return callback && queue;
    }
    std::atomic<uint32_t> current{0};
    std::mutex mutex;
    Callback callback;
    std::shared_ptr<platform::DispatchQueue> queue;
};

TEST(KNReachability, MonitorGoneBeforeItsQueuedChangeOrInsideItsCallback) {
    std::shared_ptr<FakeMonitor> fake;
    platform::NetworkMonitor::setFactoryForTesting([&](const sockaddr*, socklen_t, const std::string*) {
        return fake = std::make_shared<FakeMonitor>();
    });
    auto make = [] { return KNReachability::reachabilityForInternetConnection(); };
    std::atomic<int> calls{0}, notes{0};
    std::atomic<bool> open{false};
    auto early = make();
    early->setNetworkDidChangeReachabilityBlock([&calls](KNNetworkStatus) { ++calls; });
    ASSERT_TRUE(early->startMonitoringNetworkStatus());
    auto queue = early->reachabilityQueue();
    queue->async([&] { kntest::waitFor([&] { return open.load(); }, 10s); });
    fake->change(kUp);  // queued behind the held task
    early.reset();
    open = true;
    queue->sync([] {});
    EXPECT_EQ(calls, 0);

    // The owner lets go inside the change callback; the notification still follows.
    auto holder = std::make_shared<std::shared_ptr<KNReachability>>(make());
    std::weak_ptr<KNReachability> watched = *holder;
    const auto token = platform::NotificationCenter::defaultCenter().addObserver(
        kKNReachabilityDidChangeNotification, *holder, [&](const auto&) { ++notes; });
    (*holder)->setNetworkDidChangeReachabilityBlock([raw = holder.get()](KNNetworkStatus) { raw->reset(); });
    ASSERT_TRUE((*holder)->startMonitoringNetworkStatus());
    fake->change(kUp);
    EXPECT_TRUE(kntest::waitFor([&] { return notes == 1 && watched.expired() && !fake->installed(); }, 2s));
    platform::NotificationCenter::defaultCenter().removeObserver(token);
    platform::NetworkMonitor::clearFactoryForTesting();
}

// A cellular link reads as reachable over it and not over WiFi; no link reads as neither.
TEST(KNReachability, FlagsGiveTheStatus) {
    std::shared_ptr<FakeMonitor> fake;
    platform::NetworkMonitor::setFactoryForTesting([&](const sockaddr*, socklen_t, const std::string*) {
        return fake = std::make_shared<FakeMonitor>();
    });
    const auto reachability = KNReachability::reachabilityForInternetConnection();
    const uint32_t wwan = platform::ReachabilityFlag::IsWWAN;
    const std::tuple<uint32_t, bool, bool, KNNetworkStatus> cases[] = {
        {kUp | wwan, false, true, KNNetworkStatusReachableViaWWAN},
        {kUp, true, false, KNNetworkStatusReachableViaWiFi},
        {wwan, false, false, KNNetworkStatusNotReachable},
        {0, false, false, KNNetworkStatusNotReachable}};
    for (const auto& [flags, wifi, cellular, status] : cases) {
        fake->current = flags;
        EXPECT_EQ(reachability->isReachableOnWiFi(), wifi) << flags;
        EXPECT_EQ(reachability->isReachableOnWWAN(), cellular) << flags;
        EXPECT_EQ(reachability->currentReachabilityStatus(), status) << flags;
    }
    platform::NetworkMonitor::clearFactoryForTesting();
}

}  // namespace
