#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using platform::Notification;
using platform::NotificationCenter;

namespace {

// Seen through each base, one object sits at two addresses.
struct First { int a = 0; };
struct Second { int b = 0; };
struct Both : First, Second {};

}  // namespace

TEST(NotificationCenter, DeliversByNameAndOwnerInOrderWhileTheListChanges) {
    NotificationCenter center;
    std::vector<std::string> calls;
    auto note = [&](const std::string& what) {
        return [&, what](const Notification& n) { calls.push_back(what + n.name); };
    };
    auto both = std::make_shared<Both>();
    std::shared_ptr<First> asFirst = both;
    std::shared_ptr<Second> asSecond = both;
    auto doomed = std::make_shared<int>(0);
    center.addObserver("changed", nullptr, note("any:"));
    center.addObserver("changed", asSecond, note("sender:"));
    center.addObserver("", nullptr, note("all:"));
    center.addObserver("other", nullptr, note("other:"));
    // The filter holds its object weakly; once it is gone nothing matches, not even a newcomer.
    center.addObserver("changed", doomed, note("dead:"));
    doomed.reset();
    center.post("changed", asFirst);
    EXPECT_EQ(calls, (std::vector<std::string>{"any:changed", "sender:changed", "all:changed"}));
    calls.clear();
    for (int i = 0; i < 8; ++i) center.post("changed", i ? std::make_shared<int>(i) : nullptr);
    EXPECT_EQ(calls.size(), 16u);  // "any" and "all" alone

    // Removed mid-post: skipped at once. Added mid-post: first seen by the next post.
    NotificationCenter::Token self = 0, later = 0;
    self = center.addObserver("n", nullptr, [&](const Notification& n) {
        note("self:")(n);
        center.removeObserver(self);
    });
    center.addObserver("n", nullptr, [&](const Notification& n) {
        note("remover:")(n);
        center.removeObserver(later);
        center.addObserver("n", nullptr, note("added:"));
    });
    later = center.addObserver("n", nullptr, note("later:"));
    calls.clear();
    center.post("n");
    EXPECT_EQ(calls, (std::vector<std::string>{"all:n", "self:n", "remover:n"}));
    // Unknown or removed tokens and observers without a block are harmless.
    center.removeObserver(self);
    center.removeObserver(987654);
    center.addObserver("n", nullptr, nullptr);
    calls.clear();
    center.post("n");
    EXPECT_EQ(calls, (std::vector<std::string>{"all:n", "remover:n", "added:n"}));
}

TEST(NotificationCenter, PostsAndRemovalsFromManyThreads) {
    NotificationCenter center;
    std::atomic<int> stable{0};
    center.addObserver("n", nullptr, [&](const Notification&) { stable++; });
    constexpr int kPosts = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] {
        for (int i = 0; i < kPosts; ++i) center.post("n", nullptr, {{"i", i}});
    });
    // Churn: observers come and go, some removing themselves from inside their block.
    threads.emplace_back([&] {
        for (int i = 0; i < kPosts; ++i) {
            auto token = std::make_shared<std::atomic<NotificationCenter::Token>>(0);
            *token = center.addObserver("n", nullptr, [&, token](auto&) { center.removeObserver(*token); });
            if (i % 2 == 0) center.removeObserver(token->load());
        }
    });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(stable.load(), 4 * kPosts);
}
