#include "platform/capture/CaptureDeviceRegistry.h"

#include <gtest/gtest.h>

#include "platform/capture/CaptureDevice.h"
#include "support/ScopedEnv.h"

using namespace platform;

namespace {

bool anySynthetic(const std::vector<std::shared_ptr<CaptureDevice>>& devices) {
    for (const auto& device : devices) {
        if (device->uniqueID().rfind("synthetic-", 0) == 0) return true;
    }
    return false;
}

}  // namespace

// A machine whose cameras can't be opened (or that has none) must not film a test pattern.
TEST(CaptureDeviceRegistry, TheSyntheticCamerasAreUsedOnlyWhenAskedFor) {
    struct Row {
        std::optional<std::string> backend;
        bool synthetic;
    };
    const Row rows[] = {{std::nullopt, false}, {"v4l2", false}, {"", false}, {"synthetic", true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.backend.value_or("(unset)"));
        kntest::ScopedEnv env("KESTRUNE_CAPTURE_BACKEND", row.backend);
        auto& registry = CaptureDeviceRegistry::shared();
        registry.reset();
        const auto devices = registry.devices();
        EXPECT_EQ(anySynthetic(devices), row.synthetic);
        EXPECT_EQ(registry.backend(), row.synthetic ? "synthetic" : "v4l2");
        if (row.synthetic) {
            ASSERT_EQ(devices.size(), 2u);
            EXPECT_EQ(devices[0]->position(), CaptureDevicePosition::Back);
            EXPECT_EQ(devices[1]->position(), CaptureDevicePosition::Front);
        }
    }
    CaptureDeviceRegistry::shared().reset();
}
