// The monitor over a stand-in watcher: answers per flag set, change reports, restart and teardown.
#include <gtest/gtest.h>

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
using Queue = std::shared_ptr<platform::DispatchQueue>;

// A change is queued as the platform queues it: the installed callback, on the installed queue.
class FakeMonitor : public platform::NetworkMonitor {
public:
    std::optional<uint32_t> flags() override { std::lock_guard lock(mutex_); return flags_; }
    bool setCallback(Callback callback) override { return set(callback_, std::move(callback)); }
    bool setDispatchQueue(Queue queue) override { return set(queue_, std::move(queue)); }
    std::string lastErrorString() const override { return ""; }
    void change(std::optional<uint32_t> flags) {
        std::lock_guard lock(mutex_);
        flags_ = flags;
        if (callback_ && queue_) queue_->async([callback = callback_, value = flags.value_or(0)] { callback(value); });
    }
    bool installed() { std::lock_guard lock(mutex_); return callback_ && queue_; }

private:
    template <class T>
    bool set(T& field, T value) { std::lock_guard lock(mutex_); field = std::move(value); return true; }
    std::mutex mutex_;
    std::optional<uint32_t> flags_ = 0;
    Callback callback_;
    Queue queue_;
};

class KNReachabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::NetworkMonitor::setFactoryForTesting([this](const sockaddr*, socklen_t, const std::string*) {
            std::lock_guard lock(mutex_);
            return fakes_.emplace_back(std::make_shared<FakeMonitor>());
        });
    }
    void TearDown() override { platform::NetworkMonitor::clearFactoryForTesting(); }
    static std::shared_ptr<KNReachability> make() { return KNReachability::reachabilityForInternetConnection(); }
    std::vector<std::shared_ptr<FakeMonitor>> fakes() { std::lock_guard lock(mutex_); return fakes_; }
    std::vector<std::string> reports() { std::lock_guard lock(mutex_); return reports_; }
    // Records, in order, the three callbacks and the notification; "!" marks one off the monitor's queue.
    platform::NotificationCenter::Token observe(const std::shared_ptr<KNReachability>& reachability) {
        auto add = [this, queue = reachability->reachabilityQueue()](const std::string& event) {
            std::lock_guard lock(mutex_);
            reports_.push_back(platform::DispatchQueue::current() == queue ? event : event + "!");
        };
        reachability->setNetworkDidBecomeReachableBlock([add](KNNetworkStatus s) { add("up " + std::to_string(s)); });
        reachability->setNetworkDidBecomeUnreachableBlock([add] { add("down"); });
        reachability->setNetworkDidChangeReachabilityBlock([add](KNNetworkStatus s) { add(std::to_string(s)); });
        return platform::NotificationCenter::defaultCenter().addObserver(
            kKNReachabilityDidChangeNotification, reachability,
            [add, me = reachability.get()](const auto& note) { add(note.object.get() == me ? "note" : "?"); });
    }

    std::mutex mutex_;
    std::vector<std::shared_ptr<FakeMonitor>> fakes_;
    std::vector<std::string> reports_;
};

TEST_F(KNReachabilityTest, AnswersFollowTheLiveFlags) {
    auto reachability = make();
    auto wifiOnly = KNReachability::reachabilityForLocalWiFi();
    auto set = [&](std::optional<uint32_t> flags) { for (const auto& fake : fakes()) fake->change(flags); };
    set(Flag::Reachable | Flag::TransientConnection | Flag::ConnectionRequired);
    EXPECT_FALSE(reachability->isReachable());
    EXPECT_EQ(reachability->currentReachabilityStatus(), KNNetworkStatusReachableViaWiFi);
    set(Flag::Reachable | Flag::IsWWAN);
    EXPECT_EQ(reachability->currentReachabilityString(), "[*** Cellular Network Available ***]");
    EXPECT_EQ(reachability->debugFlagsString(), "WR -------");
    EXPECT_TRUE(reachability->isReachable() && !wifiOnly->isReachable());
    set(Flag::ConnectionRequired | Flag::ConnectionOnDemand | Flag::InterventionRequired);
    EXPECT_TRUE(reachability->isConnectionOnDemand() && reachability->isUserInterventionRequired());
    EXPECT_EQ(reachability->debugStringForFlags(0x7003f), "WR tcCiDld");
    set(std::nullopt);  // the platform can't be asked: all clear
    EXPECT_EQ(reachability->currentReachabilityString(), "[*** No Connection Available ***]");
}

TEST_F(KNReachabilityTest, ChangesReportCallbacksThenNotificationOnTheQueueAndStopAllowsARealRestart) {
    auto reachability = make();
    auto fake = fakes().back();
    const auto token = observe(reachability);
    fake->change(Flag::Reachable);  // not started: nobody listens
    ASSERT_TRUE(reachability->startMonitoringNetworkStatus() && reachability->startMonitoringNetworkStatus());
    fake->change(0);
    ASSERT_TRUE(kntest::waitFor([&] { return reports().size() == 3; }, 2s));

    reachability->stopMonitoringNetworkStatus();
    EXPECT_FALSE(fake->installed() || reachability->didStartMonitoringNetworkStatus());
    EXPECT_TRUE(reachability->startMonitoringNetworkStatus() && fake->installed());
    fake->change(Flag::Reachable | Flag::IsWWAN);
    ASSERT_TRUE(kntest::waitFor([&] { return reports().size() == 6; }, 2s));
    platform::NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(reports(), (std::vector<std::string>{"down", "0", "note", "up 2", "2", "note"}));
}

TEST_F(KNReachabilityTest, MonitorGoneBeforeItsQueuedChangeOrInsideItsCallback) {
    std::atomic<int> calls{0};
    auto early = make();
    auto fake = fakes().back();
    early->setNetworkDidChangeReachabilityBlock([&calls](KNNetworkStatus) { ++calls; });
    ASSERT_TRUE(early->startMonitoringNetworkStatus());
    auto queue = early->reachabilityQueue();
    std::atomic<bool> open{false};
    queue->async([&] { kntest::waitFor([&] { return open.load(); }, 10s); });
    fake->change(Flag::Reachable);  // queued behind the held task
    early.reset();
    open = true;
    queue->sync([] {});
    EXPECT_EQ(calls, 0);

    // The owner lets go inside the change callback; the change still finishes.
    auto holder = std::make_shared<std::shared_ptr<KNReachability>>(make());
    fake = fakes().back();
    std::weak_ptr<KNReachability> watched = *holder;
    const auto token = observe(*holder);
    (*holder)->setNetworkDidChangeReachabilityBlock([raw = holder.get()](KNNetworkStatus) { raw->reset(); });
    ASSERT_TRUE((*holder)->startMonitoringNetworkStatus());
    fake->change(Flag::Reachable);
    ASSERT_TRUE(kntest::waitFor([&] { return reports().size() == 2 && watched.expired(); }, 2s));
    platform::NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(reports(), (std::vector<std::string>{"up 1", "note"}));
    EXPECT_TRUE(kntest::waitFor([&] { return !fake->installed(); }, 2s));
}

TEST_F(KNReachabilityTest, MonitorsComeAndGoWhileChangesArrive) {
    std::atomic<bool> running{true};
    auto seen = std::make_shared<std::atomic<int>>(0);  // a callback may outlive this frame
    std::thread network([&] {
        for (uint32_t flags = 0; running; flags ^= Flag::Reachable) {
            for (const auto& fake : fakes()) fake->change(flags);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> hosts;
    for (int h = 0; h < 4; ++h) {
        hosts.emplace_back([&, h] {
            for (int i = 0; i < 50; ++i) {
                auto reachability = make();
                reachability->setNetworkDidChangeReachabilityBlock([seen](KNNetworkStatus) { ++*seen; });
                reachability->startMonitoringNetworkStatus();
                const int before = *seen;
                kntest::waitFor([&] { return *seen > before; }, 200ms);
                if ((i + h) % 2) reachability->stopMonitoringNetworkStatus();
            }
        });
    }
    for (auto& host : hosts) host.join();
    running = false;
    network.join();
    EXPECT_GT(*seen, 0);
}

}  // namespace
