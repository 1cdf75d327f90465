#pragma once
// The machine identifier of the device the process runs on.
#include <string>

namespace platform {

class MachineModel {
public:
    // The `machine` field of uname ("x86_64", "aarch64", ...), "" when uname fails; or the override.
    static std::string name();

    // Test hook, process-wide: lets tests pose as another device (an old phone, say).
    static void setOverride(std::string name);
    static void clearOverride();
};

}  // namespace platform
