// The SDK object: one shared instance, and a set-up that runs its steps in order on the caller.
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestrune/KNKestruneSDK.h"
#include "platform/NotificationCenter.h"

namespace {

// Records each step of a set-up with the thread it ran on.
struct SetupTrace {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::thread::id>> steps;
    std::shared_ptr<void> notifiedObject;
    bool loadedWhenCompleted = false;

    void add(const std::string& step) {
        std::lock_guard lock(mutex);
        steps.emplace_back(step, std::this_thread::get_id());
    }
};

class KNKestruneSDKSetup : public ::testing::Test {
protected:
    void SetUp() override {
        sdk_ = KNKestruneSDK::sharedInstance();
        token_ = platform::NotificationCenter::defaultCenter().addObserver(
            kKNKestruneDidLoadConfigNotification, nullptr, [this](const platform::Notification& note) {
                trace_.add("notification");
                std::lock_guard lock(trace_.mutex);
                trace_.notifiedObject = note.object;
            });
    }
    void TearDown() override { platform::NotificationCenter::defaultCenter().removeObserver(token_); }

    KNKestruneSDK::Completion completion() {
        return [this](bool success, std::shared_ptr<KNError> error) {
            EXPECT_TRUE(success);
            EXPECT_EQ(error, nullptr);
            trace_.loadedWhenCompleted = sdk_->didLoadConfig();
            trace_.add("completion");
        };
    }

    std::shared_ptr<KNKestruneSDK> sdk_;
    platform::NotificationCenter::Token token_ = 0;
    SetupTrace trace_;
};

TEST(KNKestruneSDK, OneSharedObjectForEveryThreadAndForLaterCreation) {
    std::vector<std::shared_ptr<KNKestruneSDK>> seen(16);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = KNKestruneSDK::sharedInstance(); });
    for (auto& thread : threads) thread.join();
    for (const auto& sdk : seen) EXPECT_EQ(sdk, seen.front());
    EXPECT_EQ(KNKestruneSDK::create(), seen.front());
    EXPECT_NE(seen.front()->logSettings(), nullptr);
}

TEST(KNKestruneSDKDeathTest, ObjectCreatedBeforeTheSharedOneStaysIndependent) {
    // A fresh process, so that no shared object exists yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            auto early = KNKestruneSDK::create();
            auto shared = KNKestruneSDK::sharedInstance();
            const bool independent = early != shared && KNKestruneSDK::create() == shared &&
                                     early->logSettings() != nullptr && !early->didLoadConfig() &&
                                     early->url().empty();
            std::_Exit(independent ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(KNKestruneSDKSetup, CompletionRunsBeforeTheNotificationOnTheCallersThread) {
    std::thread::id caller;
    std::thread host([&] {
        caller = std::this_thread::get_id();
        sdk_->setupSDKWithURLWithCompletion("rtmp://127.0.0.1/live", completion());
    });
    host.join();

    std::lock_guard lock(trace_.mutex);
    ASSERT_EQ(trace_.steps.size(), 2u);
    EXPECT_EQ(trace_.steps[0].first, "completion");
    EXPECT_EQ(trace_.steps[1].first, "notification");
    EXPECT_EQ(trace_.steps[0].second, caller);
    EXPECT_EQ(trace_.steps[1].second, caller);
    EXPECT_TRUE(trace_.loadedWhenCompleted);
    EXPECT_EQ(trace_.notifiedObject, std::static_pointer_cast<void>(sdk_));
    EXPECT_EQ(sdk_->url(), "rtmp://127.0.0.1/live");
}

TEST_F(KNKestruneSDKSetup, SetupWithoutURLOrCompletionStillLoadsAndPosts) {
    sdk_->setupSDKWithURLWithCompletion("rtmp://127.0.0.1/live", nullptr);
    sdk_->setupSDKWithCompletion();
    EXPECT_TRUE(sdk_->didLoadConfig());
    EXPECT_EQ(sdk_->url(), "");
    std::lock_guard lock(trace_.mutex);
    EXPECT_EQ(trace_.steps.size(), 2u);  // each set-up posts again
}

TEST(KNKestruneSDK, VersionIsANewRecordOnEveryRead) {
    auto sdk = KNKestruneSDK::sharedInstance();
    auto first = sdk->version();
    auto second = sdk->version();
    EXPECT_NE(first, second);
    EXPECT_EQ(first->longString(), second->longString());
}

}  // namespace
