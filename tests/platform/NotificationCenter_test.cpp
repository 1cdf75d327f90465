#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

using platform::Notification;
using platform::NotificationCenter;

TEST(NotificationCenter, AnObserverOfOneSenderHearsOnlyThatSender) {
    NotificationCenter center;
    const auto mine = std::make_shared<int>(1);
    const auto other = std::make_shared<int>(1);
    int calls = 0;
    center.addObserver("n", mine, [&](const Notification&) { ++calls; });
    center.post("n", other);
    center.post("n");
    EXPECT_EQ(calls, 0);
    center.post("n", mine);
    EXPECT_EQ(calls, 1);
}

// Removed while a post is under way by an observer told before it, an observer is not called
// again; nor is one removed between posts.
TEST(NotificationCenter, AnObserverRemovedDuringAPostIsNotCalled) {
    NotificationCenter center;
    int firstCalls = 0;
    int secondCalls = 0;
    NotificationCenter::Token second = 0;
    const NotificationCenter::Token first = center.addObserver("n", nullptr, [&](const Notification&) {
        ++firstCalls;
        center.removeObserver(second);
    });
    second = center.addObserver("n", nullptr, [&](const Notification&) { ++secondCalls; });
    center.post("n");
    EXPECT_EQ(firstCalls, 1);
    EXPECT_EQ(secondCalls, 0);
    center.post("n");
    EXPECT_EQ(firstCalls, 2);
    EXPECT_EQ(secondCalls, 0);
    center.removeObserver(first);
    center.post("n");
    EXPECT_EQ(firstCalls, 2);
}
