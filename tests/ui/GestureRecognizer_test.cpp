#include "platform/ui/GestureRecognizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/RunLoop.h"
#include "platform/ui/View.h"

using namespace std::chrono_literals;
using namespace platform;

namespace {

struct Rig {
    std::shared_ptr<View> view = View::createWithFrame({{0, 0}, {300, 300}});
    std::vector<std::string> seen;
    std::shared_ptr<TapGestureRecognizer> tap =
        TapGestureRecognizer::createWithAction([this](GestureRecognizer&) { seen.push_back("tap"); });
    std::shared_ptr<LongPressGestureRecognizer> press = LongPressGestureRecognizer::createWithAction(
        [this](GestureRecognizer& r) { seen.push_back("press" + std::to_string(static_cast<int>(r.state()))); });

    Rig() {
        view->addGestureRecognizer(tap);
        view->addGestureRecognizer(press);
        press->setMinimumPressDuration(0.05);
    }
    void holdUntilPressBegins() {
        RunLoop::main().runUntil([&] { return !seen.empty(); }, 5000ms);
    }
};

}  // namespace

TEST(GestureRecognizer, TouchesBecomeOneGestureEach) {
    struct Row {
        const char* name;
        bool hold;
        Point end;
        std::vector<std::string> expected;
    };
    const Row rows[] = {
        {"quick touch", false, {100, 100}, {"tap"}},
        {"quick touch that wanders", false, {100, 130}, {}},
        {"held touch", true, {104, 103}, {"press1", "press3"}},
        {"held touch moved after it began", true, {160, 160}, {"press1", "press3"}},
    };
    for (const Row& row : rows) {
        Rig rig;
        rig.view->touchBegan({100, 100});
        if (row.hold) rig.holdUntilPressBegins();
        rig.view->touchEnded(row.end);
        // A press timer left from a quick touch must not act once the touch is gone: wait for a
        // task queued behind it.
        bool behindTimer = false;
        DispatchQueue::main()->afterSeconds(0.1, [&] { behindTimer = true; });
        ASSERT_TRUE(RunLoop::main().runUntil([&] { return behindTimer; }, 5000ms));
        EXPECT_EQ(rig.seen, row.expected) << row.name;
    }
}

TEST(GestureRecognizer, LocationsConvertBetweenViewsAndARemovedRecognizerHearsNothing) {
    Rig rig;
    auto parent = View::createWithFrame({{0, 0}, {500, 500}});
    rig.view->setFrame({{20, 40}, {300, 300}});
    parent->addSubview(rig.view);
    rig.view->touchBegan({10, 10});
    rig.view->touchEnded({10, 10});
    EXPECT_EQ(rig.tap->locationInView(parent), (Point{30, 50}));
    EXPECT_EQ(rig.tap->locationInView(nullptr), (Point{10, 10}));
    rig.view->removeGestureRecognizer(rig.tap);
    rig.view->touchBegan({10, 10});
    rig.view->touchEnded({10, 10});
    EXPECT_EQ(rig.seen, std::vector<std::string>{"tap"});
    EXPECT_EQ(rig.tap->view(), nullptr);
}
