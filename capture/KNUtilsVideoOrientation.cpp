// KNUtils: the status bar's orientation and the capture orientation that goes with it.
#include "core/KNConverter.h"
#include "core/KNUtils.h"
#include "platform/ui/Application.h"

int64_t KNUtils::currentStatusBarOrientation() const { return platform::Application::shared().statusBarOrientation(); }

int64_t KNUtils::currentCaptureVideoOrientation() const {
    return KNConverter::converter()->captureVideoOrientationFromInterfaceOrientation(currentStatusBarOrientation());
}
