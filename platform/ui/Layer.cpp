#include "platform/ui/Layer.h"

#include <algorithm>

#include "platform/HostClock.h"

namespace platform {

void Layer::addSublayer(const std::shared_ptr<Layer>& layer) {
    if (!layer || layer.get() == this) return;
    layer->removeFromSuperlayer();
    layer->superlayer_ = weak_from_this();
    sublayers_.push_back(layer);
}

void Layer::removeFromSuperlayer() {
    auto parent = superlayer_.lock();
    superlayer_.reset();
    if (!parent) return;
    std::erase_if(parent->sublayers_, [this](const std::shared_ptr<Layer>& l) { return l.get() == this; });
}

void Layer::addAnimationForKey(BasicAnimation animation, const std::string& key) {
    animation.beginTime = HostClock::now();
    animations_[key] = std::move(animation);
}

std::optional<BasicAnimation> Layer::animationForKey(const std::string& key) const {
    auto it = animations_.find(key);
    if (it == animations_.end()) return std::nullopt;
    return it->second;
}

std::vector<std::string> Layer::animationKeys() const {
    std::vector<std::string> keys;
    for (const auto& entry : animations_) keys.push_back(entry.first);
    return keys;
}

}  // namespace platform
