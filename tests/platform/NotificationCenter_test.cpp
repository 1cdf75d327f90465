#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using platform::Notification;
using platform::NotificationCenter;

namespace {

struct Sender {
    int value = 0;
};
struct Base {
    virtual ~Base() = default;
    int a = 0;
};
struct Other {
    virtual ~Other() = default;
    int b = 0;
};
struct Derived : Base, Other {};

}  // namespace

TEST(NotificationCenter, DeliversByNameAndObjectInOrderOnThePostingThread) {
    NotificationCenter center;
    auto sender = std::make_shared<Sender>();
    auto stranger = std::make_shared<Sender>();
    std::vector<std::string> calls;
    std::thread::id caller;

    center.addObserver("changed", nullptr, [&](const Notification& n) {
        calls.push_back("any:" + n.name);
        caller = std::this_thread::get_id();
    });
    center.addObserver("changed", sender, [&](const Notification& n) {
        calls.push_back("sender");
        EXPECT_EQ(n.object.get(), sender.get());
        EXPECT_EQ(std::any_cast<int64_t>(n.userInfo.at("reason")), 3);
    });
    center.addObserver("", nullptr, [&](const Notification& n) { calls.push_back("all:" + n.name); });
    center.addObserver("other", nullptr, [&](const Notification&) { calls.push_back("other"); });

    center.post("changed", sender, {{"reason", int64_t{3}}});
    EXPECT_EQ(calls, (std::vector<std::string>{"any:changed", "sender", "all:changed"}));
    EXPECT_EQ(caller, std::this_thread::get_id());

    calls.clear();
    center.post("changed", stranger, {{"reason", int64_t{3}}});
    center.post("changed");
    EXPECT_EQ(calls, (std::vector<std::string>{"any:changed", "all:changed", "any:changed", "all:changed"}));
}

TEST(NotificationCenter, ObjectFilterFollowsOwnershipNotAddress) {
    NotificationCenter center;
    auto derived = std::make_shared<Derived>();
    // The observer and the sender see the object through different bases, at different addresses.
    std::shared_ptr<Other> asOther = derived;
    std::shared_ptr<Base> asBase = derived;
    ASSERT_NE(static_cast<void*>(asOther.get()), static_cast<void*>(asBase.get()));
    int hits = 0;
    center.addObserver("n", asOther, [&](const Notification&) { ++hits; });
    center.post("n", asBase);
    EXPECT_EQ(hits, 1);

    // The filter holds its object weakly; once it is gone nothing matches, not even a newcomer.
    int deadHits = 0;
    auto doomed = std::make_shared<Sender>();
    std::weak_ptr<Sender> watch = doomed;
    center.addObserver("n", doomed, [&](const Notification&) { ++deadHits; });
    doomed.reset();
    EXPECT_TRUE(watch.expired());
    for (int i = 0; i < 8; ++i) {
        center.post("n", std::make_shared<Sender>());
    }
    center.post("n");
    EXPECT_EQ(deadHits, 0);
}

TEST(NotificationCenter, ObserversChangingTheListDuringAPost) {
    NotificationCenter center;
    std::vector<std::string> calls;
    NotificationCenter::Token self = 0, later = 0;
    self = center.addObserver("n", nullptr, [&](const Notification&) {
        calls.push_back("self");
        center.removeObserver(self);
    });
    center.addObserver("n", nullptr, [&](const Notification&) {
        calls.push_back("remover");
        center.removeObserver(later);
        center.addObserver("n", nullptr, [&](const Notification&) { calls.push_back("added"); });
    });
    later = center.addObserver("n", nullptr, [&](const Notification&) { calls.push_back("later"); });

    center.post("n");
    // Removed mid-post: skipped at once. Added mid-post: first seen by the next post.
    EXPECT_EQ(calls, (std::vector<std::string>{"self", "remover"}));

    calls.clear();
    center.post("n");
    EXPECT_EQ(calls, (std::vector<std::string>{"remover", "added"}));

    // Removing what is gone, or was never there, changes nothing; an observer without a block is
    // harmless.
    center.removeObserver(self);
    center.removeObserver(0);
    center.removeObserver(987654);
    center.addObserver("n", nullptr, nullptr);
    calls.clear();
    center.post("n");
    EXPECT_EQ(calls, (std::vector<std::string>{"remover", "added", "added"}));
}

TEST(NotificationCenter, PostsAndRemovalsFromManyThreads) {
    NotificationCenter center;
    std::atomic<int> stable{0};
    center.addObserver("n", nullptr, [&](const Notification&) { stable.fetch_add(1); });

    constexpr int kThreads = 4;
    constexpr int kPosts = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kPosts; ++i) {
                center.post("n", nullptr, {{"i", i}});
            }
        });
    }
    // Churn: observers come and go, some removing themselves from inside their block.
    threads.emplace_back([&] {
        for (int i = 0; i < kPosts; ++i) {
            auto counter = std::make_shared<std::atomic<int>>(0);
            auto token = std::make_shared<std::atomic<NotificationCenter::Token>>(0);
            token->store(center.addObserver("n", nullptr, [&center, counter, token](const Notification&) {
                counter->fetch_add(1);
                center.removeObserver(token->load());
            }));
            if (i % 2 == 0) {
                center.removeObserver(token->load());
            }
        }
    });
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(stable.load(), kThreads * kPosts);
}
