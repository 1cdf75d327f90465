#pragma once
// Whether the application may use the camera and the microphone. A host (or a test) sets the
// answer per media type; until then the camera is authorised when a camera opened (or the
// synthetic cameras are in use) and denied when none did (not this process's to open, or
// absent), and the microphone is authorised. Thread-safe.
#include "kestrune/platform/capture/CaptureTypes.h"

namespace platform {

class CaptureAuthorization {
public:
    static AuthorizationStatus authorizationStatusForMediaType(MediaType type);
    static void setAuthorizationStatusForMediaType(MediaType type, AuthorizationStatus status);
    // Back to the derived answer.
    static void resetAuthorizationStatusForMediaType(MediaType type);
};

}  // namespace platform
