#include "capture/CameraFocusSquare.h"

std::shared_ptr<CameraFocusSquare> CameraFocusSquare::createWithFrame(platform::Rect frame) {
    std::shared_ptr<CameraFocusSquare> square(new CameraFocusSquare(frame));
    square->setBackgroundColor(platform::Color::clearColor());
    const auto& layer = square->layer();
    layer->setBorderWidth(2.0);
    layer->setCornerRadius(4.0);
    layer->setBorderColor(platform::Color::whiteColor());
    platform::BasicAnimation selection = platform::BasicAnimation::animationWithKeyPath("borderColor");
    selection.toValue = platform::Color::blueColor();
    selection.repeatCount = 2.0f;
    layer->addAnimationForKey(selection, "selectionAnimation");
    return square;
}
