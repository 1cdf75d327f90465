#include "platform/capture/CaptureAuthorization.h"

#include <atomic>

#include "platform/capture/CaptureDeviceRegistry.h"

namespace platform {

namespace {

constexpr int64_t kUnset = -1;
std::atomic<int64_t> videoStatus{kUnset};
std::atomic<int64_t> audioStatus{kUnset};

std::atomic<int64_t>& slot(MediaType type) { return type == MediaType::Video ? videoStatus : audioStatus; }

// No camera opened: access is denied, whether the nodes can't be opened or there are none.
AuthorizationStatus derivedCameraStatus() {
    auto& registry = CaptureDeviceRegistry::shared();
    if (registry.backend() != "v4l2" || !registry.devices().empty()) return AuthorizationStatus::Authorized;
    return AuthorizationStatus::Denied;
}

}  // namespace

AuthorizationStatus CaptureAuthorization::authorizationStatusForMediaType(MediaType type) {
    const int64_t set = slot(type).load();
    if (set != kUnset) return static_cast<AuthorizationStatus>(set);
    return type == MediaType::Video ? derivedCameraStatus() : AuthorizationStatus::Authorized;
}

void CaptureAuthorization::setAuthorizationStatusForMediaType(MediaType type, AuthorizationStatus status) {
    slot(type).store(static_cast<int64_t>(status));
}

void CaptureAuthorization::resetAuthorizationStatusForMediaType(MediaType type) { slot(type).store(kUnset); }

}  // namespace platform
