#include "platform/ui/View.h"

#include <algorithm>
#include <map>
#include <optional>

#include "platform/DispatchQueue.h"
#include "platform/ui/GestureRecognizer.h"
#include "platform/ui/LayoutConstraint.h"

namespace platform {

namespace {

// The animation block being recorded on this thread, if any.
thread_local const double* recordingDuration = nullptr;

struct Edges {
    std::optional<double> left, right, top, bottom, width, height;
};

std::optional<double> valueOf(const Rect& r, LayoutAttribute attribute) {
    switch (attribute) {
    case LayoutAttribute::Left:
    case LayoutAttribute::Leading:
        return r.origin.x;
    case LayoutAttribute::Right:
    case LayoutAttribute::Trailing:
        return r.origin.x + r.size.width;
    case LayoutAttribute::Top:
        return r.origin.y;
    case LayoutAttribute::Bottom:
        return r.origin.y + r.size.height;
    case LayoutAttribute::Width:
        return r.size.width;
    case LayoutAttribute::Height:
        return r.size.height;
    case LayoutAttribute::CenterX:
        return r.origin.x + r.size.width / 2;
    case LayoutAttribute::CenterY:
        return r.origin.y + r.size.height / 2;
    case LayoutAttribute::NotAnAttribute:
        break;
    }
    return std::nullopt;
}

void setEdge(Edges& edges, LayoutAttribute attribute, double value) {
    switch (attribute) {
    case LayoutAttribute::Left:
    case LayoutAttribute::Leading:
        edges.left = value;
        break;
    case LayoutAttribute::Right:
    case LayoutAttribute::Trailing:
        edges.right = value;
        break;
    case LayoutAttribute::Top:
        edges.top = value;
        break;
    case LayoutAttribute::Bottom:
        edges.bottom = value;
        break;
    case LayoutAttribute::Width:
        edges.width = value;
        break;
    case LayoutAttribute::Height:
        edges.height = value;
        break;
    default:
        break;
    }
}

// One axis from what the constraints gave: start and length, the current ones filling gaps.
void solveAxis(std::optional<double> start, std::optional<double> end, std::optional<double> length, double& origin,
               double& size) {
    if (start && end) {
        origin = *start;
        size = *end - *start;
    } else if (start) {
        origin = *start;
        if (length) size = *length;
    } else if (end) {
        if (length) size = *length;
        origin = *end - size;
    } else if (length) {
        size = *length;
    }
}

}  // namespace

std::shared_ptr<View> View::createWithFrame(Rect frame) { return std::shared_ptr<View>(new View(frame)); }

View::View(Rect frame) { layer_->setFrame(frame); }

View::~View() = default;

void View::setFrame(Rect frame) {
    if (frame == layer_->frame()) return;
    layer_->setFrame(frame);
    needsLayout_ = true;
}

void View::addSubview(const std::shared_ptr<View>& view) {
    if (!view || view.get() == this) return;
    view->removeFromSuperview();
    view->superview_ = weak_from_this();
    subviews_.push_back(view);
    layer_->addSublayer(view->layer_);
    needsLayout_ = true;
}

void View::removeFromSuperview() {
    auto parent = superview_.lock();
    superview_.reset();
    if (!parent) return;
    for (const auto& constraint : parent->constraints()) {
        if (constraint->firstItem().get() == this || constraint->secondItem().get() == this) {
            constraint->setActive(false);
        }
    }
    std::erase_if(parent->subviews_, [this](const std::shared_ptr<View>& v) { return v.get() == this; });
    layer_->removeFromSuperlayer();
}

void View::setAlpha(double alpha) {
    if (recordingDuration) {
        BasicAnimation animation = BasicAnimation::animationWithKeyPath("opacity");
        animation.fromValue = layer_->opacity();
        animation.toValue = alpha;
        animation.duration = *recordingDuration;
        layer_->addAnimationForKey(animation, "opacity");
    }
    layer_->setOpacity(alpha);
}

std::vector<std::shared_ptr<LayoutConstraint>> View::constraints() const { return constraints_; }

void View::addConstraint(const std::shared_ptr<LayoutConstraint>& constraint) {
    if (!constraint || constraint->active_) return;
    constraint->active_ = true;
    constraint->installedOn_ = weak_from_this();
    constraints_.push_back(constraint);
    needsLayout_ = true;
}

void View::removeConstraint(const std::shared_ptr<LayoutConstraint>& constraint) {
    auto it = std::find(constraints_.begin(), constraints_.end(), constraint);
    if (it == constraints_.end()) return;
    constraints_.erase(it);
    constraint->active_ = false;
    constraint->installedOn_.reset();
    needsLayout_ = true;
}

void View::addGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer) {
    if (!recognizer) return;
    if (auto old = recognizer->view()) old->removeGestureRecognizer(recognizer);
    recognizer->setView(weak_from_this());
    recognizers_.push_back(recognizer);
}

void View::removeGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer) {
    auto it = std::find(recognizers_.begin(), recognizers_.end(), recognizer);
    if (it == recognizers_.end()) return;
    recognizers_.erase(it);
    recognizer->giveUp();
    recognizer->setView({});
}

void View::touchBegan(Point point) {
    for (const auto& recognizer : std::vector(recognizers_)) recognizer->touchBegan(point);
}

void View::touchMoved(Point point) {
    for (const auto& recognizer : std::vector(recognizers_)) recognizer->touchMoved(point);
}

void View::touchEnded(Point point) {
    for (const auto& recognizer : std::vector(recognizers_)) recognizer->touchEnded(point);
}

void View::touchCancelled() {
    for (const auto& recognizer : std::vector(recognizers_)) recognizer->touchCancelled();
}

void View::gestureRecognized(const GestureRecognizer& winner) {
    for (const auto& recognizer : std::vector(recognizers_)) {
        if (recognizer.get() != &winner) recognizer->giveUp();
    }
}

void View::applyConstraints() {
    std::map<View*, Edges> placed;
    for (const auto& constraint : constraints_) {
        auto first = constraint->firstItem();
        if (!first || first.get() == this || first->superview().get() != this) continue;
        if (constraint->relation() != LayoutRelation::Equal) continue;
        auto second = constraint->secondItem();
        std::optional<double> base = 0.0;
        if (second.get() == this) base = valueOf(bounds(), constraint->secondAttribute());
        else if (second) base = valueOf(second->frame(), constraint->secondAttribute());
        if (!base) continue;
        setEdge(placed[first.get()], constraint->firstAttribute(), *base * constraint->multiplier() + constraint->constant());
    }
    for (auto& [view, edges] : placed) {
        Rect frame = view->frame();
        solveAxis(edges.left, edges.right, edges.width, frame.origin.x, frame.size.width);
        solveAxis(edges.top, edges.bottom, edges.height, frame.origin.y, frame.size.height);
        view->setFrame(frame);
    }
}

void View::layoutSubviews() { applyConstraints(); }

void View::layoutIfNeeded() {
    if (needsLayout_) {
        needsLayout_ = false;
        layoutSubviews();
    }
    for (const auto& subview : std::vector(subviews_)) subview->layoutIfNeeded();
}

void View::animateWithDurationAnimationsCompletion(double duration, const std::function<void()>& animations,
                                                   std::function<void(bool)> completion) {
    const double* outer = recordingDuration;
    recordingDuration = &duration;
    if (animations) animations();
    recordingDuration = outer;
    if (completion) DispatchQueue::main()->afterSeconds(duration, [completion] { completion(true); });
}

Point View::originInRoot() const {
    Point origin = frame().origin;
    for (auto parent = superview(); parent; parent = parent->superview()) {
        origin.x += parent->frame().origin.x;
        origin.y += parent->frame().origin.y;
    }
    return origin;
}

Point View::convertPointToView(Point point, const std::shared_ptr<View>& other) const {
    if (!other) return point;
    const Point mine = originInRoot();
    const Point theirs = other->originInRoot();
    return {point.x + mine.x - theirs.x, point.y + mine.y - theirs.y};
}

}  // namespace platform
