#include "platform/ui/GestureRecognizer.h"

#include <cmath>

#include "platform/DispatchQueue.h"
#include "platform/ui/View.h"

namespace platform {

Point GestureRecognizer::locationInView(const std::shared_ptr<View>& view) const {
    auto own = view_.lock();
    if (!view || !own || view == own) return location_;
    return own->convertPointToView(location_, view);
}

void GestureRecognizer::touchCancelled() {
    tracking_ = false;
    if (state_ == GestureRecognizerState::Began || state_ == GestureRecognizerState::Changed) {
        transition(GestureRecognizerState::Cancelled);
    }
    state_ = GestureRecognizerState::Possible;
}

void GestureRecognizer::giveUp() {
    tracking_ = false;
    state_ = GestureRecognizerState::Possible;
}

void GestureRecognizer::transition(GestureRecognizerState state) {
    state_ = state;
    auto self = shared_from_this();  // an action may remove this recognizer
    const auto actions = actions_;
    if (state == GestureRecognizerState::Began || state == GestureRecognizerState::Ended) {
        if (auto view = view_.lock()) view->gestureRecognized(*this);
    }
    for (const auto& action : actions) action(*this);
}

bool GestureRecognizer::movedTooFar(Point point) const {
    return std::hypot(point.x - start_.x, point.y - start_.y) > kAllowableMovement;
}

std::shared_ptr<TapGestureRecognizer> TapGestureRecognizer::createWithAction(Action action) {
    std::shared_ptr<TapGestureRecognizer> recognizer(new TapGestureRecognizer());
    if (action) recognizer->addTarget(std::move(action));
    return recognizer;
}

void TapGestureRecognizer::touchBegan(Point point) {
    start_ = point;
    location_ = point;
    tracking_ = true;
}

void TapGestureRecognizer::touchMoved(Point point) {
    if (tracking_ && movedTooFar(point)) tracking_ = false;
}

void TapGestureRecognizer::touchEnded(Point point) {
    if (!tracking_ || movedTooFar(point)) {
        tracking_ = false;
        return;
    }
    tracking_ = false;
    location_ = point;
    transition(GestureRecognizerState::Ended);
    giveUp();
}

std::shared_ptr<LongPressGestureRecognizer> LongPressGestureRecognizer::createWithAction(Action action) {
    std::shared_ptr<LongPressGestureRecognizer> recognizer(new LongPressGestureRecognizer());
    if (action) recognizer->addTarget(std::move(action));
    return recognizer;
}

void LongPressGestureRecognizer::touchBegan(Point point) {
    start_ = point;
    location_ = point;
    tracking_ = true;
    began_ = false;
    const uint64_t touch = ++touch_;
    std::weak_ptr<GestureRecognizer> weak = weak_from_this();
    DispatchQueue::main()->afterSeconds(minimumPressDuration_, [weak, touch] {
        if (auto self = std::static_pointer_cast<LongPressGestureRecognizer>(weak.lock())) self->held(touch);
    });
}

void LongPressGestureRecognizer::held(uint64_t touch) {
    if (touch != touch_ || !tracking_ || began_) return;
    began_ = true;
    transition(GestureRecognizerState::Began);
}

void LongPressGestureRecognizer::touchMoved(Point point) {
    if (!tracking_) return;
    if (!began_) {
        if (movedTooFar(point)) tracking_ = false;
        return;
    }
    location_ = point;
    transition(GestureRecognizerState::Changed);
}

void LongPressGestureRecognizer::touchEnded(Point point) {
    const bool began = began_ && tracking_;
    tracking_ = false;
    began_ = false;
    ++touch_;
    if (!began) return;
    location_ = point;
    transition(GestureRecognizerState::Ended);
    GestureRecognizer::giveUp();
}

void LongPressGestureRecognizer::touchCancelled() {
    ++touch_;
    began_ = false;
    GestureRecognizer::touchCancelled();
}

void LongPressGestureRecognizer::giveUp() {
    ++touch_;
    began_ = false;
    GestureRecognizer::giveUp();
}

}  // namespace platform
