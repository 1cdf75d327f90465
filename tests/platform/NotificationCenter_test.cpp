#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using platform::Notification;
using platform::NotificationCenter;

TEST(NotificationCenter, ObserversRemovedDuringAPostAreSkippedAndAddedOnesWaitForTheNext) {
    NotificationCenter center;
    std::vector<std::string> calls;
    auto note = [&](const std::string& what) { return [&, what](const Notification&) { calls.push_back(what); }; };
    NotificationCenter::Token self = 0, later = 0;
    self = center.addObserver("n", nullptr, [&](const Notification& n) {
        note("self")(n);
        center.removeObserver(self);
    });
    center.addObserver("n", nullptr, [&](const Notification& n) {
        note("remover")(n);
        center.removeObserver(later);
        center.addObserver("n", nullptr, note("added"));
    });
    later = center.addObserver("n", nullptr, note("later"));
    center.post("n");
    EXPECT_EQ(calls, (std::vector<std::string>{"self", "remover"}));
    calls.clear();
    center.removeObserver(self);
    center.post("n");
    EXPECT_EQ(calls, (std::vector<std::string>{"remover", "added"}));
}

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
