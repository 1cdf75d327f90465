#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "platform/Documents.h"
#include "platform/HostClock.h"
#include "platform/MachineModel.h"
#include "support/ScopedEnv.h"

namespace fs = std::filesystem;
using platform::HostClock;
using platform::MachineModel;

TEST(HostClock, CountsMonotonicSecondsUnlessOverriddenEvenWhileOthersRead) {
    // Same base and unit as the steady clock (both CLOCK_MONOTONIC here).
    const double start = HostClock::now();
    const auto steady = std::chrono::steady_clock::now().time_since_epoch();
    EXPECT_NEAR(start, std::chrono::duration<double>(steady).count(), 0.01);
    HostClock::setOverride([] { return 12.5; });
    EXPECT_EQ(HostClock::now(), 12.5);
    HostClock::clearOverride();
    EXPECT_GE(HostClock::now(), start);
    // An empty function means no override rather than a call into nothing.
    HostClock::setOverride([] { return 1.0; });
    HostClock::setOverride(nullptr);
    EXPECT_GE(HostClock::now(), start);

    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load()) EXPECT_TRUE(std::isfinite(HostClock::now()));
    });
    for (int i = 0; i < 2000; ++i) HostClock::setOverride([i] { return i * 1.0; }), HostClock::clearOverride();
    stop = true;
    reader.join();
}

TEST(MachineModel, ReportsTheKernelsMachineUnlessOverridden) {
    utsname info{};
    ASSERT_EQ(uname(&info), 0);
    EXPECT_EQ(MachineModel::name(), info.machine);
    MachineModel::setOverride("iPhone6,2");
    EXPECT_EQ(MachineModel::name(), "iPhone6,2");
    // An empty override poses as a device whose identifier couldn't be read.
    MachineModel::setOverride("");
    EXPECT_EQ(MachineModel::name(), "");
    MachineModel::clearOverride();
    EXPECT_EQ(MachineModel::name(), info.machine);
}

TEST(Documents, TheConfiguredFolderOrHomesIsMadeOnEveryUse) {
    const fs::path base = fs::path(KESTRUNE_TEST_TMP) / "documents-test";
    fs::remove_all(base);
    const fs::path dir = base / "a" / "b";
    kntest::ScopedEnv documents("KESTRUNE_DOCUMENTS", dir.string() + "/");
    EXPECT_EQ(platform::documentsDirectory(), dir.string());
    EXPECT_TRUE(fs::is_directory(dir));
    // Removed behind the process's back: the next use makes it again.
    fs::remove_all(dir);
    EXPECT_EQ(platform::documentsDirectory(), dir.string());
    EXPECT_TRUE(fs::is_directory(dir));

    // A regular file where a parent folder would have to be: answered all the same, without throwing.
    std::ofstream(base / "file").put('x');
    documents.set((base / "file" / "Documents").string());
    EXPECT_EQ(platform::documentsDirectory(), (base / "file" / "Documents").string());

    // Unset or empty: the home's Documents.
    kntest::ScopedEnv home("HOME", (base / "home").string());
    for (const std::optional<std::string>& value : {std::optional<std::string>(), std::optional<std::string>("")}) {
        documents.set(value);
        EXPECT_EQ(platform::documentsDirectory(), (base / "home" / "Documents").string());
        EXPECT_TRUE(fs::is_directory(base / "home" / "Documents"));
    }
}
