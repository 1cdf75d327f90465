#pragma once
// A failure the capture layer reports: the code (kCaptureError...) and a readable reason.
#include <cstdint>
#include <string>

namespace platform {

struct CaptureError {
    int64_t code = 0;
    std::string message;
};

}  // namespace platform
