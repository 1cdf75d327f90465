#pragma once
// A headless layer: geometry, border, opacity, a tree of sublayers and the animations added to
// it. Used on the main thread only.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/platform/Geometry.h"
#include "kestrune/platform/ui/BasicAnimation.h"
#include "kestrune/platform/ui/Color.h"

namespace platform {

class Layer : public std::enable_shared_from_this<Layer> {
public:
    static std::shared_ptr<Layer> create() { return std::shared_ptr<Layer>(new Layer()); }
    virtual ~Layer() = default;
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;

    Rect frame() const { return frame_; }
    virtual void setFrame(Rect frame) { frame_ = frame; }
    Rect bounds() const { return {{0, 0}, frame_.size}; }

    std::shared_ptr<Layer> superlayer() const { return superlayer_.lock(); }
    const std::vector<std::shared_ptr<Layer>>& sublayers() const { return sublayers_; }
    // Moves the layer here from wherever it was.
    void addSublayer(const std::shared_ptr<Layer>& layer);
    void removeFromSuperlayer();

    double borderWidth() const { return borderWidth_; }
    void setBorderWidth(double width) { borderWidth_ = width; }
    double cornerRadius() const { return cornerRadius_; }
    void setCornerRadius(double radius) { cornerRadius_ = radius; }
    Color borderColor() const { return borderColor_; }
    void setBorderColor(Color color) { borderColor_ = color; }
    Color backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(Color color) { backgroundColor_ = color; }
    double opacity() const { return opacity_; }
    void setOpacity(double opacity) { opacity_ = opacity; }

    // A later animation under the same key replaces the earlier one.
    void addAnimationForKey(BasicAnimation animation, const std::string& key);
    std::optional<BasicAnimation> animationForKey(const std::string& key) const;
    std::vector<std::string> animationKeys() const;
    void removeAnimationForKey(const std::string& key) { animations_.erase(key); }

    void setNeedsDisplay() { ++displayRequests_; }
    int displayRequests() const { return displayRequests_; }

protected:
    Layer() = default;

private:
    Rect frame_;
    std::weak_ptr<Layer> superlayer_;
    std::vector<std::shared_ptr<Layer>> sublayers_;
    double borderWidth_ = 0;
    double cornerRadius_ = 0;
    Color borderColor_{0, 0, 0, 1};
    Color backgroundColor_ = Color::clearColor();
    double opacity_ = 1;
    std::map<std::string, BasicAnimation> animations_;
    int displayRequests_ = 0;
};

}  // namespace platform
