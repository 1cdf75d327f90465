#pragma once
// A headless view: frame and bounds, its own layer, a view tree, constraints, gesture
// recognizers and a layout pass. Nothing draws. A host (or a test) feeds touches in the view's
// own coordinates and runs layoutIfNeeded() on the views it shows. Main thread only.
#include <functional>
#include <memory>
#include <vector>

#include "kestrune/platform/Geometry.h"
#include "kestrune/platform/ui/Color.h"
#include "kestrune/platform/ui/Layer.h"

namespace platform {

class GestureRecognizer;
class LayoutConstraint;

class View : public std::enable_shared_from_this<View> {
public:
    static std::shared_ptr<View> createWithFrame(Rect frame);
    virtual ~View();
    View(const View&) = delete;
    View& operator=(const View&) = delete;

    Rect frame() const { return layer_->frame(); }
    void setFrame(Rect frame);
    Rect bounds() const { return layer_->bounds(); }
    const std::shared_ptr<Layer>& layer() const { return layer_; }

    std::shared_ptr<View> superview() const { return superview_.lock(); }
    const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
    void addSubview(const std::shared_ptr<View>& view);
    // Also drops the constraints that tie the view to its old superview.
    void removeFromSuperview();

    double alpha() const { return layer_->opacity(); }
    // Inside an animation block the change is recorded on the layer as an "opacity" animation.
    void setAlpha(double alpha);
    Color backgroundColor() const { return layer_->backgroundColor(); }
    void setBackgroundColor(Color color) { layer_->setBackgroundColor(color); }
    bool translatesAutoresizingMaskIntoConstraints() const { return translatesMask_; }
    void setTranslatesAutoresizingMaskIntoConstraints(bool translates) { translatesMask_ = translates; }

    // The active constraints installed on this view (those relating it to its subviews).
    std::vector<std::shared_ptr<LayoutConstraint>> constraints() const;
    void addConstraint(const std::shared_ptr<LayoutConstraint>& constraint);
    void removeConstraint(const std::shared_ptr<LayoutConstraint>& constraint);

    const std::vector<std::shared_ptr<GestureRecognizer>>& gestureRecognizers() const { return recognizers_; }
    void addGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer);
    void removeGestureRecognizer(const std::shared_ptr<GestureRecognizer>& recognizer);

    // Touches in this view's coordinates, handed to its recognizers.
    void touchBegan(Point point);
    void touchMoved(Point point);
    void touchEnded(Point point);
    void touchCancelled();
    // A recognizer of this view recognised its gesture: the others give up this touch.
    void gestureRecognized(const GestureRecognizer& winner);

    // Subviews placed by their constraints first; overriders call the inherited pass first.
    virtual void layoutSubviews();
    void setNeedsLayout() { needsLayout_ = true; }
    // Lays out this view when needed, then its subviews.
    void layoutIfNeeded();
    void setNeedsDisplay() { layer_->setNeedsDisplay(); }

    // Records the property changes the block makes as animations of `duration` seconds; the
    // completion runs on the main queue when they end.
    static void animateWithDurationAnimationsCompletion(double duration, const std::function<void()>& animations,
                                                        std::function<void(bool finished)> completion);

    // A point of this view in `other`'s coordinates (both in one window tree).
    Point convertPointToView(Point point, const std::shared_ptr<View>& other) const;

protected:
    explicit View(Rect frame);

private:
    void applyConstraints();
    Point originInRoot() const;

    std::shared_ptr<Layer> layer_ = Layer::create();
    std::weak_ptr<View> superview_;
    std::vector<std::shared_ptr<View>> subviews_;
    std::vector<std::shared_ptr<LayoutConstraint>> constraints_;
    std::vector<std::shared_ptr<GestureRecognizer>> recognizers_;
    bool translatesMask_ = true;
    bool needsLayout_ = true;
};

}  // namespace platform
