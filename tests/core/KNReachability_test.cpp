#include <gtest/gtest.h>

#include <atomic>
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
    std::optional<uint32_t> flags() override { return kUp; }
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
    void change() {
        std::lock_guard lock(mutex);
        if (callback && queue) queue->async([c = callback] { c(kUp); });
    }
    bool installed() {
        std::lock_guard lock(mutex);
        return callback && queue;
    }
    std::mutex mutex;
    Callback callback;
    std::shared_ptr<platform::DispatchQueue> queue;
};

TEST(KNReachability, MonitorGoneBeforeItsQueuedChangeOrInsideItsCallback) {
    std::shared_ptr<FakeMonitor> fake;
    platform::NetworkMonitor::setFactoryForTesting([&](const sockaddr*, socklen_t, const std::string*) {
        return fake = std::make_shared<FakeMonitor>();
    });
    std::atomic<int> calls{0};
    std::atomic<int> notes{0};
    std::atomic<bool> open{false};
    auto early = KNReachability::reachabilityForInternetConnection();
    early->setNetworkDidChangeReachabilityBlock([&calls](KNNetworkStatus) { ++calls; });
    ASSERT_TRUE(early->startMonitoringNetworkStatus());
    auto queue = early->reachabilityQueue();
    queue->async([&] { kntest::waitFor([&] { return open.load(); }, 10s); });
    fake->change();  // queued behind the held task
    early.reset();
    open = true;
    queue->sync([] {});
    EXPECT_EQ(calls, 0);

    // The owner lets go inside the change callback; the notification still follows.
    auto holder = std::make_shared<std::shared_ptr<KNReachability>>(KNReachability::reachabilityForInternetConnection());
    std::weak_ptr<KNReachability> watched = *holder;
    const auto token = platform::NotificationCenter::defaultCenter().addObserver(
        kKNReachabilityDidChangeNotification, *holder, [&](const auto&) { ++notes; });
    (*holder)->setNetworkDidChangeReachabilityBlock([raw = holder.get()](KNNetworkStatus) { raw->reset(); });
    ASSERT_TRUE((*holder)->startMonitoringNetworkStatus());
    fake->change();
    EXPECT_TRUE(kntest::waitFor([&] { return notes == 1 && watched.expired() && !fake->installed(); }, 2s));
    platform::NotificationCenter::defaultCenter().removeObserver(token);
    platform::NetworkMonitor::clearFactoryForTesting();
}

}  // namespace
