// Where recordings, logs and the photo library go when the environment names no folder: never a
// fixed name under the temporary folder, which any local user could make first, and never a folder
// of another user.
#include "platform/Documents.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/PhotoLibrary.h"
#include "support/ScopedEnv.h"
#include "support/TestServer.h"

namespace {

namespace fs = std::filesystem;
using kntest::ScopedEnv;

const fs::path kRoot = fs::path(KESTRUNE_TEST_TMP) / kntest::uniqueName("homes");

bool privateAndOurs(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & 077) == 0;
}

TEST(Documents, WithoutAHomeOfItsOwnTheProcessGetsAPrivateFolder) {
    ScopedEnv tmp("TMPDIR", (kRoot / "tmp").string());
    fs::create_directories(kRoot / "tmp");
    fs::create_directories(kRoot / "mine");
    fs::create_directories(kRoot / "theirs");
    const std::string mine = (kRoot / "mine").string();
    const std::string theirs = (kRoot / "theirs").string();
    const bool canGiveAway = ::chown(theirs.c_str(), 65534, 65534) == 0;

    EXPECT_EQ(platform::homeDirectoryFrom("/home/set", mine), "/home/set");
    EXPECT_EQ(platform::homeDirectoryFrom(nullptr, mine), mine);
    EXPECT_EQ(platform::homeDirectoryFrom("", mine), mine);
    const std::string fallback = platform::homeDirectoryFrom(nullptr, std::nullopt);
    EXPECT_TRUE(privateAndOurs(fallback)) << fallback;
    EXPECT_EQ(fallback.rfind((kRoot / "tmp").string() + "/", 0), 0u) << fallback;
    EXPECT_EQ(platform::homeDirectoryFrom(nullptr, (kRoot / "missing").string()), fallback);
    if (canGiveAway) {
        EXPECT_EQ(platform::homeDirectoryFrom(nullptr, theirs), fallback);
    }

    // The photo library follows the same home.
    ScopedEnv home("HOME", std::nullopt);
    ScopedEnv library("KESTRUNE_PHOTO_LIBRARY", std::nullopt);
    ScopedEnv videos("XDG_VIDEOS_DIR", std::nullopt);
    EXPECT_EQ(platform::PhotoLibrary::folder(), platform::homeDirectory() + "/Videos");
    EXPECT_NE(platform::PhotoLibrary::folder().rfind("/tmp/", 0), 0u);
    fs::remove_all(kRoot);
}

TEST(Documents, TheFolderIsMadeForItsOwnerAlone) {
    ScopedEnv configured("KESTRUNE_DOCUMENTS", std::nullopt);
    ScopedEnv home("HOME", (kRoot / "user").string());
    const std::string documents = platform::documentsDirectory();
    EXPECT_EQ(documents, (kRoot / "user" / "Documents").string());
    EXPECT_TRUE(privateAndOurs(documents));
    fs::remove_all(kRoot);
}

}  // namespace
