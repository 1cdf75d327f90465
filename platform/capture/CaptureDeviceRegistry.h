#pragma once
// The cameras the process sees. The backend is chosen once, on first use: KESTRUNE_CAPTURE_BACKEND
// ("synthetic" or "v4l2") when set, else V4L2 when a video capture node exists, else the two
// synthetic phone cameras (back, then front). A host or a test may put its own list in place.
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
    // "synthetic" or "v4l2".
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
