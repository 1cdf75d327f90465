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
