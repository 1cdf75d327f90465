// KNUtils: may the application use the camera and the microphone.
#include "core/KNUtils.h"
#include "platform/capture/CaptureAuthorization.h"

namespace {

int64_t statusFor(platform::MediaType type) {
    return static_cast<int64_t>(platform::CaptureAuthorization::authorizationStatusForMediaType(type));
}

constexpr int64_t kAuthorized = static_cast<int64_t>(platform::AuthorizationStatus::Authorized);
constexpr int64_t kNotDetermined = static_cast<int64_t>(platform::AuthorizationStatus::NotDetermined);

}  // namespace

int64_t KNUtils::microphoneStatus() const { return statusFor(platform::MediaType::Audio); }
int64_t KNUtils::cameraStatus() const { return statusFor(platform::MediaType::Video); }
bool KNUtils::hasAccessToMicrophone() const { return microphoneStatus() == kAuthorized; }
bool KNUtils::hasDeterminedAccessToMicrophone() const { return microphoneStatus() != kNotDetermined; }
bool KNUtils::hasAccessToCamera() const { return cameraStatus() == kAuthorized; }
bool KNUtils::hasDeterminedAccessToCamera() const { return cameraStatus() != kNotDetermined; }
