#pragma once
// An animation of one layer property from a value (or from the current one) to another. Nothing
// draws here: a layer keeps its animations so that a host renderer, or a test, can read them.
#include <string>
#include <variant>

#include "kestrune/platform/ui/Color.h"

namespace platform {

using AnimationValue = std::variant<std::monostate, double, Color>;

struct BasicAnimation {
    // Seconds, when none is given.
    static constexpr double kDefaultDuration = 0.25;

    std::string keyPath;
    AnimationValue fromValue;  // monostate: from the current value
    AnimationValue toValue;
    float repeatCount = 0;
    double duration = kDefaultDuration;
    // Host-clock seconds when it was added.
    double beginTime = 0;

    static BasicAnimation animationWithKeyPath(std::string keyPath) {
        BasicAnimation animation;
        animation.keyPath = std::move(keyPath);
        return animation;
    }
};

}  // namespace platform
