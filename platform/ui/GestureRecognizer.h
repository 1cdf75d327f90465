#pragma once
// Turns the touches a host feeds to a view into gestures and calls the actions added to it.
// Main thread only; a long press is recognised by a timer on the main queue.
#include <functional>
#include <memory>
#include <vector>

#include "platform/Geometry.h"

namespace platform {

class View;

enum class GestureRecognizerState : int64_t { Possible = 0, Began = 1, Changed = 2, Ended = 3, Cancelled = 4, Failed = 5 };

class GestureRecognizer : public std::enable_shared_from_this<GestureRecognizer> {
public:
    using Action = std::function<void(GestureRecognizer& recognizer)>;

    virtual ~GestureRecognizer() = default;

    void addTarget(Action action) { actions_.push_back(std::move(action)); }
    GestureRecognizerState state() const { return state_; }
    std::shared_ptr<View> view() const { return view_.lock(); }
    // The touch's last location in `view`'s coordinates (the recognizer's own view when null).
    Point locationInView(const std::shared_ptr<View>& view) const;

    // The view's side.
    void setView(const std::weak_ptr<View>& view) { view_ = view; }
    virtual void touchBegan(Point point) = 0;
    virtual void touchMoved(Point point) = 0;
    virtual void touchEnded(Point point) = 0;
    virtual void touchCancelled();
    // Another recognizer of the view took this touch.
    virtual void giveUp();

    // Points a touch may wander before the gesture fails.
    static constexpr double kAllowableMovement = 10;

protected:
    GestureRecognizer() = default;
    // Sets the state and calls the actions; a recognised gesture tells the view.
    void transition(GestureRecognizerState state);
    bool movedTooFar(Point point) const;

    Point start_;
    Point location_;
    bool tracking_ = false;

private:
    GestureRecognizerState state_ = GestureRecognizerState::Possible;
    std::weak_ptr<View> view_;
    std::vector<Action> actions_;
};

class TapGestureRecognizer : public GestureRecognizer {
public:
    static std::shared_ptr<TapGestureRecognizer> createWithAction(Action action);

    void touchBegan(Point point) override;
    void touchMoved(Point point) override;
    void touchEnded(Point point) override;

private:
    TapGestureRecognizer() = default;
};

class LongPressGestureRecognizer : public GestureRecognizer {
public:
    static std::shared_ptr<LongPressGestureRecognizer> createWithAction(Action action);
    // Seconds a touch must be held.
    double minimumPressDuration() const { return minimumPressDuration_; }
    void setMinimumPressDuration(double seconds) { minimumPressDuration_ = seconds; }

    void touchBegan(Point point) override;
    void touchMoved(Point point) override;
    void touchEnded(Point point) override;
    void touchCancelled() override;
    void giveUp() override;

private:
    LongPressGestureRecognizer() = default;
    void held(uint64_t touch);

    double minimumPressDuration_ = 0.5;
    uint64_t touch_ = 0;
    bool began_ = false;
};

}  // namespace platform
