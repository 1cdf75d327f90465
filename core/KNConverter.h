#pragma once
// Maps the system's orientation, camera and torch values onto the platform's numbering: interface
// orientation (1 portrait, 2 upside down, 3 landscape right, 4 landscape left), capture video
// orientation (the same numbers), image orientation (0 up, 1 down, 2 left, 3 right), capture device
// position (0 unspecified, 1 back, 2 front) and torch mode (0 off, 1 on, 2 auto).
#include <cstdint>
#include <memory>

class KNConverter {
public:
    // A new object on every call; it holds nothing.
    static std::shared_ptr<KNConverter> converter() { return std::make_shared<KNConverter>(); }

    int64_t captureVideoOrientationFromInterfaceOrientation(int64_t interfaceOrientation) const;
    int64_t videoOrientationForInterfaceOrientation(int64_t interfaceOrientation) const;
    // Autorotate, like every value without its own, gives portrait.
    int64_t interfaceOrientationForVideoOrientation(int64_t videoOrientation) const;
    int64_t imageOrientationForVideoOrientation(int64_t videoOrientation) const;

    int64_t captureDevicePositionForCamera(int64_t camera) const;
    int64_t captureTorchModeForTorchMode(int64_t torchMode) const;
};
