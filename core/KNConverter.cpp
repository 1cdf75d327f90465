#include "core/KNConverter.h"

#include "kestrune/KNTypes.h"

int64_t KNConverter::captureVideoOrientationFromInterfaceOrientation(int64_t interfaceOrientation) const {
    switch (interfaceOrientation) {
        case 2:
        case 3:
        case 4: return interfaceOrientation;
        default: return 1;
    }
}

int64_t KNConverter::videoOrientationForInterfaceOrientation(int64_t interfaceOrientation) const {
    switch (interfaceOrientation) {
        case 2:
        case 3:
        case 4: return interfaceOrientation - 1;
        default: return KNVideoOrientationPortrait;
    }
}

int64_t KNConverter::interfaceOrientationForVideoOrientation(int64_t videoOrientation) const {
    switch (videoOrientation) {
        case KNVideoOrientationPortraitUpsideDown:
        case KNVideoOrientationLandscapeRight:
        case KNVideoOrientationLandscapeLeft: return videoOrientation + 1;
        default: return 1;
    }
}

int64_t KNConverter::imageOrientationForVideoOrientation(int64_t videoOrientation) const {
    switch (videoOrientation) {
        case KNVideoOrientationPortraitUpsideDown: return 1;
        case KNVideoOrientationLandscapeRight: return 3;
        case KNVideoOrientationLandscapeLeft: return 2;
        default: return 0;
    }
}

int64_t KNConverter::captureDevicePositionForCamera(int64_t camera) const {
    switch (camera) {
        case KNCameraBack: return 1;
        case KNCameraFront: return 2;
        default: return 0;
    }
}

int64_t KNConverter::captureTorchModeForTorchMode(int64_t torchMode) const {
    switch (torchMode) {
        case KNTorchModeOn: return 1;
        case KNTorchModeAuto: return 2;
        default: return 0;
    }
}
