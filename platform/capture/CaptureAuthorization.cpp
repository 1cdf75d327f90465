#include "platform/capture/CaptureAuthorization.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "platform/capture/CaptureDeviceRegistry.h"

namespace platform {

namespace {

constexpr int64_t kUnset = -1;
std::atomic<int64_t> videoStatus{kUnset};
std::atomic<int64_t> audioStatus{kUnset};

std::atomic<int64_t>& slot(MediaType type) { return type == MediaType::Video ? videoStatus : audioStatus; }

AuthorizationStatus derivedCameraStatus() {
    auto& registry = CaptureDeviceRegistry::shared();
    if (registry.backend() != "v4l2" || !registry.devices().empty()) return AuthorizationStatus::Authorized;
    // No camera opened: one whose node this process may not open is denied; none at all is absent.
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("video", 0) == 0 && access(entry.path().c_str(), R_OK | W_OK) != 0) {
            return AuthorizationStatus::Denied;
        }
    }
    return AuthorizationStatus::Authorized;
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
