// The monitor's answers for each flag combination, the order of its change reports, starting and
// stopping, and its teardown while changes are in flight, on a network the test makes up.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kestrune/KNReachability.h"
#include "platform/DispatchQueue.h"
#include "platform/NetworkMonitor.h"
#include "platform/NotificationCenter.h"
#include "support/TestServer.h"

namespace {

using namespace std::chrono_literals;
namespace Flag = platform::ReachabilityFlag;

// Stands in for the platform's watcher: the test sets the flags, and a change is queued the way
// the platform queues it (the callback as installed, on the installed queue).
class FakeMonitor : public platform::NetworkMonitor {
public:
    std::optional<uint32_t> flags() override {
        std::lock_guard lock(mutex_);
        return flags_;
    }
    bool setCallback(Callback callback) override {
        std::lock_guard lock(mutex_);
        if (callback) ++callbacksInstalled;
        callback_ = std::move(callback);
        return true;
    }
    bool setDispatchQueue(std::shared_ptr<platform::DispatchQueue> queue) override {
        std::lock_guard lock(mutex_);
        if (queue && failQueue) return false;
        queue_ = std::move(queue);
        return true;
    }
    std::string lastErrorString() const override { return "Operation not supported"; }

    void change(std::optional<uint32_t> flags) {
        Callback callback;
        std::shared_ptr<platform::DispatchQueue> queue;
        {
            std::lock_guard lock(mutex_);
            flags_ = flags;
            callback = callback_;
            queue = queue_;
        }
        if (callback && queue) queue->async([callback, value = flags.value_or(0)] { callback(value); });
    }
    bool installed() {
        std::lock_guard lock(mutex_);
        return callback_ && queue_;
    }
    std::shared_ptr<platform::DispatchQueue> queue() {
        std::lock_guard lock(mutex_);
        return queue_;
    }

    std::atomic<int> callbacksInstalled{0};
    std::atomic<bool> failQueue{false};

private:
    std::mutex mutex_;
    std::optional<uint32_t> flags_ = 0;
    Callback callback_;
    std::shared_ptr<platform::DispatchQueue> queue_;
};

// What reached the host, in order, with the queue it arrived on.
struct Reports {
    std::mutex mutex;
    std::vector<std::string> events;
    std::vector<std::shared_ptr<platform::DispatchQueue>> queues;

    void add(std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
        queues.push_back(platform::DispatchQueue::current());
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return events.size();
    }
};

class KNReachabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::NetworkMonitor::setFactoryForTesting(
            [this](const sockaddr*, socklen_t, const std::string*) -> std::shared_ptr<FakeMonitor> {
                if (refuse_) return nullptr;
                auto fake = std::make_shared<FakeMonitor>();
                std::lock_guard lock(fakesMutex_);
                fakes_.push_back(fake);
                return fake;
            });
    }
    void TearDown() override { platform::NetworkMonitor::clearFactoryForTesting(); }

    // A monitor for the network as a whole, and the fake under it.
    std::pair<std::shared_ptr<KNReachability>, std::shared_ptr<FakeMonitor>> makeMonitor() {
        auto reachability = KNReachability::reachabilityForInternetConnection();
        std::lock_guard lock(fakesMutex_);
        return {reachability, fakes_.back()};
    }

    // Records the three callbacks and the notification of `reachability` into `reports`.
    platform::NotificationCenter::Token observe(const std::shared_ptr<KNReachability>& reachability, Reports& reports) {
        reachability->setNetworkDidBecomeReachableBlock(
            [&reports](KNNetworkStatus status) { reports.add("reachable " + std::to_string(status)); });
        reachability->setNetworkDidBecomeUnreachableBlock([&reports] { reports.add("unreachable"); });
        reachability->setNetworkDidChangeReachabilityBlock(
            [&reports](KNNetworkStatus status) { reports.add("change " + std::to_string(status)); });
        return platform::NotificationCenter::defaultCenter().addObserver(
            kKNReachabilityDidChangeNotification, reachability,
            [&reports, expected = static_cast<const void*>(reachability.get())](const platform::Notification& note) {
                reports.add(note.object.get() == expected ? "notification" : "foreign");
            });
    }

    std::atomic<bool> refuse_{false};
    std::mutex fakesMutex_;
    std::vector<std::shared_ptr<FakeMonitor>> fakes_;
};

TEST_F(KNReachabilityTest, AnswersFollowTheLiveFlags) {
    auto [reachability, fake] = makeMonitor();
    fake->change(Flag::Reachable | Flag::TransientConnection | Flag::ConnectionRequired);
    EXPECT_FALSE(reachability->isReachable());
    EXPECT_EQ(reachability->currentReachabilityStatus(), KNNetworkStatusReachableViaWiFi);

    fake->change(Flag::Reachable | Flag::IsWWAN);
    EXPECT_TRUE(reachability->isReachable());
    EXPECT_EQ(reachability->currentReachabilityStatus(), KNNetworkStatusReachableViaWWAN);
    EXPECT_EQ(reachability->currentReachabilityString(), "[*** Cellular Network Available ***]");
    EXPECT_EQ(reachability->debugFlagsString(), "WR -------");
    auto wifiOnly = KNReachability::reachabilityForLocalWiFi();
    fakes_.back()->change(Flag::Reachable | Flag::IsWWAN);
    EXPECT_FALSE(wifiOnly->isReachable());

    fake->change(Flag::ConnectionRequired | Flag::ConnectionOnDemand | Flag::InterventionRequired);
    EXPECT_TRUE(reachability->isConnectionOnDemand() && reachability->isUserInterventionRequired());
    EXPECT_EQ(reachability->debugStringForFlags(0x7003f), "WR tcCiDld");

    fake->change(std::nullopt);  // the platform can't be asked: all clear
    EXPECT_EQ(reachability->currentReachabilityStatus(), KNNetworkStatusNotReachable);
    EXPECT_EQ(reachability->currentReachabilityString(), "[*** No Connection Available ***]");
    EXPECT_TRUE(testing::internal::RE::FullMatch(reachability->debugDescription(),
                                                 "<KNReachability: (0|0x[0-9a-f]+) - Flags: \\[-- -------\\]>"));

    refuse_ = true;
    EXPECT_EQ(KNReachability::reachabilityForInternetConnection(), nullptr);
}

TEST_F(KNReachabilityTest, ChangeReportsCallbacksThenNotificationOnTheMonitorsQueue) {
    auto [reachability, fake] = makeMonitor();
    Reports reports;
    const auto token = observe(reachability, reports);
    fake->change(Flag::Reachable);
    ASSERT_TRUE(reachability->startMonitoringNetworkStatus());

    fake->change(0);
    ASSERT_TRUE(kntest::waitFor([&] { return reports.count() == 3; }, 2s));
    fake->change(Flag::Reachable | Flag::IsWWAN);
    ASSERT_TRUE(kntest::waitFor([&] { return reports.count() == 6; }, 2s));
    platform::NotificationCenter::defaultCenter().removeObserver(token);

    std::lock_guard lock(reports.mutex);
    EXPECT_EQ(reports.events, (std::vector<std::string>{"unreachable", "change 0", "notification", "reachable 2",
                                                        "change 2", "notification"}));
    for (const auto& queue : reports.queues) EXPECT_EQ(queue, reachability->reachabilityQueue());
    EXPECT_EQ(reachability->reachabilityFlags(), Flag::Reachable | Flag::IsWWAN);
}

TEST_F(KNReachabilityTest, StartInstallsOnceAndAgainAfterAStop) {
    auto [reachability, fake] = makeMonitor();
    std::atomic<int> calls{0};
    reachability->setNetworkDidChangeReachabilityBlock([&calls](KNNetworkStatus) { ++calls; });
    EXPECT_TRUE(reachability->startMonitoringNetworkStatus());
    EXPECT_TRUE(reachability->startMonitoringNetworkStatus());
    EXPECT_EQ(fake->callbacksInstalled, 1);

    reachability->stopMonitoringNetworkStatus();
    EXPECT_FALSE(fake->installed());
    EXPECT_FALSE(reachability->didStartMonitoringNetworkStatus());
    // A later start installs for real, and says so when it can't.
    fake->failQueue = true;
    EXPECT_FALSE(reachability->startMonitoringNetworkStatus());
    EXPECT_EQ(fake->callbacksInstalled, 2);
    EXPECT_FALSE(fake->installed());
    fake->change(Flag::Reachable);  // nobody listens
    fake->failQueue = false;
    EXPECT_TRUE(reachability->startMonitoringNetworkStatus());
    EXPECT_TRUE(fake->installed());
    reachability->reachabilityQueue()->sync([] {});
    EXPECT_EQ(calls, 0);
}

TEST_F(KNReachabilityTest, ChangeQueuedBeforeTheMonitorIsFreedFindsNothing) {
    auto [reachability, fake] = makeMonitor();
    std::atomic<int> calls{0};
    reachability->setNetworkDidChangeReachabilityBlock([&calls](KNNetworkStatus) { ++calls; });
    ASSERT_TRUE(reachability->startMonitoringNetworkStatus());
    auto queue = fake->queue();

    std::atomic<bool> open{false};
    queue->async([&] { kntest::waitFor([&] { return open.load(); }, 10s); });
    fake->change(Flag::Reachable);  // queued behind the held task
    reachability.reset();
    open = true;
    queue->sync([] {});
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(fake->installed());
}

TEST_F(KNReachabilityTest, MonitorFreedInsideItsOwnCallbackFinishesTheChange) {
    auto [monitor, fake] = makeMonitor();
    auto holder = std::make_shared<std::shared_ptr<KNReachability>>(std::move(monitor));
    std::weak_ptr<KNReachability> watched = *holder;
    Reports reports;
    const auto token = observe(*holder, reports);
    // The owner lets go from inside the change callback.
    (*holder)->setNetworkDidChangeReachabilityBlock([&reports, raw = holder.get()](KNNetworkStatus status) {
        reports.add("change " + std::to_string(status));
        raw->reset();
    });
    ASSERT_TRUE((*holder)->startMonitoringNetworkStatus());
    fake->change(Flag::Reachable);

    ASSERT_TRUE(kntest::waitFor([&] { return watched.expired(); }, 2s));
    platform::NotificationCenter::defaultCenter().removeObserver(token);
    std::lock_guard lock(reports.mutex);
    EXPECT_EQ(reports.events, (std::vector<std::string>{"reachable 1", "change 1", "notification"}));
    EXPECT_TRUE(kntest::waitFor([&] { return !fake->installed(); }, 2s));  // its teardown ran too
}

TEST_F(KNReachabilityTest, MonitorsComeAndGoWhileChangesArrive) {
    std::atomic<bool> running{true};
    // Shared: a callback already running when its monitor is let go may outlive this test's frame.
    auto changesSeen = std::make_shared<std::atomic<int>>(0);
    std::thread network([&] {
        uint32_t flags = 0;
        while (running) {
            flags ^= Flag::Reachable;
            std::vector<std::shared_ptr<FakeMonitor>> live;
            {
                std::lock_guard lock(fakesMutex_);
                live = fakes_;
            }
            for (const auto& fake : live) fake->change(flags);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> hosts;
    for (int h = 0; h < 4; ++h) {
        hosts.emplace_back([&, h] {
            for (int i = 0; i < 50; ++i) {
                auto reachability = KNReachability::reachabilityForInternetConnection();
                reachability->setNetworkDidChangeReachabilityBlock([changesSeen](KNNetworkStatus) { ++*changesSeen; });
                reachability->startMonitoringNetworkStatus();
                // Let a few changes through, then let go, sometimes stopping first.
                const int seen = *changesSeen;
                kntest::waitFor([&] { return *changesSeen > seen; }, 200ms);
                if ((i + h) % 2) reachability->stopMonitoringNetworkStatus();
            }
        });
    }
    for (auto& host : hosts) host.join();
    running = false;
    network.join();
    EXPECT_GT(*changesSeen, 0);
    // A monitor let go inside a callback goes when that callback ends.
    EXPECT_TRUE(kntest::waitFor(
        [&] {
            std::lock_guard lock(fakesMutex_);
            return std::none_of(fakes_.begin(), fakes_.end(), [](const auto& fake) { return fake->installed(); });
        },
        2s));
}

}  // namespace
