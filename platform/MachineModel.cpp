#include "platform/MachineModel.h"

#include <sys/utsname.h>

#include <mutex>
#include <optional>

namespace platform {

namespace {

std::mutex overrideMutex;
std::optional<std::string> overrideName;

}  // namespace

std::string MachineModel::name() {
    {
        std::lock_guard lock(overrideMutex);
        if (overrideName) {
            return *overrideName;
        }
    }
    utsname info{};
    if (uname(&info) != 0) {
        return "";
    }
    return info.machine;
}

void MachineModel::setOverride(std::string name) {
    std::lock_guard lock(overrideMutex);
    overrideName = std::move(name);
}

void MachineModel::clearOverride() {
    std::lock_guard lock(overrideMutex);
    overrideName.reset();
}

}  // namespace platform
