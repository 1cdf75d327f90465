#pragma once
// The cameras the process sees, chosen once, on first use: the V4L2 cameras that open, unless
// KESTRUNE_CAPTURE_BACKEND is "synthetic" (the two synthetic phone cameras, back then front). A
// host or a test may put its own list in place.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class CaptureDevice;

class CaptureDeviceRegistry {
public:
    static CaptureDeviceRegistry& shared();

    std::vector<std::shared_ptr<CaptureDevice>> devices();
    // "synthetic", "v4l2" or "host" (a list put in place).
    std::string backend();
    // Replaces the list until reset() (which rescans on the next use).
    void setDevices(std::vector<std::shared_ptr<CaptureDevice>> devices);
    void reset();

private:
    std::mutex mutex_;
    std::optional<std::vector<std::shared_ptr<CaptureDevice>>> devices_;
    std::string backend_;
};

}  // namespace platform
