#pragma once
// The short-lived square that marks a touch on the preview: white border, rounded corners,
// flashing blue twice.
#include <memory>

#include "platform/ui/View.h"

class CameraFocusSquare : public platform::View {
public:
    static std::shared_ptr<CameraFocusSquare> createWithFrame(platform::Rect frame);

private:
    explicit CameraFocusSquare(platform::Rect frame) : View(frame) {}
};
