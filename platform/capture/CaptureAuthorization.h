#pragma once
// Whether the application may use the camera and the microphone. A host (or a test) sets the
// answer per media type; until then the camera is authorised when the synthetic camera is in use
// or some video node opens for reading and writing (denied when none does), and the microphone is
// authorised. Thread-safe.
#include "platform/capture/CaptureTypes.h"

namespace platform {

class CaptureAuthorization {
public:
    static AuthorizationStatus authorizationStatusForMediaType(MediaType type);
    static void setAuthorizationStatusForMediaType(MediaType type, AuthorizationStatus status);
    // Back to the derived answer.
    static void resetAuthorizationStatusForMediaType(MediaType type);
};

}  // namespace platform
