// The SDK object: one shared instance, and a set-up that runs its steps in order on the caller.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "kestrune/KNKestruneSDK.h"
#include "platform/NotificationCenter.h"

namespace {

TEST(KNKestruneSDK, OneSharedObjectForEveryThreadAndForLaterCreation) {
    std::vector<std::shared_ptr<KNKestruneSDK>> seen(16);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = KNKestruneSDK::sharedInstance(); });
    for (auto& thread : threads) thread.join();
    for (const auto& sdk : seen) EXPECT_EQ(sdk, seen.front());
    EXPECT_EQ(KNKestruneSDK::create(), seen.front());
}

TEST(KNKestruneSDKDeathTest, ObjectCreatedBeforeTheSharedOneStaysIndependent) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: no shared object yet
    EXPECT_EXIT(
        {
            auto early = KNKestruneSDK::create();
            auto shared = KNKestruneSDK::sharedInstance();
            const bool independent = early != shared && KNKestruneSDK::create() == shared &&
                                     early->logSettings() != nullptr && !early->didLoadConfig();
            std::_Exit(independent ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(KNKestruneSDK, SetupCompletesBeforeItNotifiesAllOnTheCallersThread) {
    auto sdk = KNKestruneSDK::sharedInstance();
    std::vector<std::pair<std::string, std::thread::id>> steps;  // written on `host` only
    std::shared_ptr<void> notified;
    auto& center = platform::NotificationCenter::defaultCenter();
    const auto token = center.addObserver(kKNKestruneDidLoadConfigNotification, nullptr,
                                          [&](const platform::Notification& note) {
                                              steps.emplace_back("notification", std::this_thread::get_id());
                                              notified = note.object;
                                          });
    std::thread::id caller;
    std::thread host([&] {
        caller = std::this_thread::get_id();
        sdk->setupSDKWithURLWithCompletion("rtmp://127.0.0.1/live", [&](bool success, std::shared_ptr<KNError> error) {
            EXPECT_TRUE(success && !error && sdk->didLoadConfig());
            steps.emplace_back("completion", std::this_thread::get_id());
        });
        EXPECT_EQ(sdk->url(), "rtmp://127.0.0.1/live");
        sdk->setupSDKWithCompletion();  // no URL, no completion: still loads and posts
    });
    host.join();
    center.removeObserver(token);

    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[0].first, "completion");
    EXPECT_EQ(steps[1].first, "notification");
    EXPECT_EQ(steps[2].first, "notification");
    for (const auto& step : steps) EXPECT_EQ(step.second, caller);
    EXPECT_EQ(notified, std::static_pointer_cast<void>(sdk));
    EXPECT_EQ(sdk->url(), "");
    EXPECT_TRUE(sdk->didLoadConfig());
}

}  // namespace
