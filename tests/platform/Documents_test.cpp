#include "platform/Documents.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/ScopedEnv.h"

namespace fs = std::filesystem;

namespace {

fs::path scratch(const std::string& name) {
    fs::path dir = fs::path(KESTRUNE_TEST_TMP) / "documents-test" / name;
    fs::remove_all(dir);
    return dir;
}

}  // namespace

TEST(Documents, ConfiguredFolderIsCreatedWithParentsAndComesBack) {
    const fs::path dir = scratch("configured") / "a" / "b";
    kntest::ScopedEnv documents("KESTRUNE_DOCUMENTS", dir.string() + "/");

    EXPECT_EQ(platform::documentsDirectory(), dir.string());
    EXPECT_TRUE(fs::is_directory(dir));

    // Removed behind the process's back: the next use makes it again.
    fs::remove_all(dir);
    EXPECT_EQ(platform::documentsDirectory(), dir.string());
    EXPECT_TRUE(fs::is_directory(dir));
}

TEST(Documents, FallsBackToHomeWhenUnsetOrEmpty) {
    const fs::path fakeHome = scratch("home");
    fs::create_directories(fakeHome);
    kntest::ScopedEnv home("HOME", fakeHome.string());
    kntest::ScopedEnv documents("KESTRUNE_DOCUMENTS", std::nullopt);
    EXPECT_EQ(platform::documentsDirectory(), (fakeHome / "Documents").string());
    EXPECT_TRUE(fs::is_directory(fakeHome / "Documents"));

    documents.set("");
    EXPECT_EQ(platform::documentsDirectory(), (fakeHome / "Documents").string());
}

TEST(Documents, AFolderThatCannotBeCreatedIsStillAnsweredWithoutThrowing) {
    const fs::path base = scratch("blocked");
    fs::create_directories(base);
    {
        std::FILE* file = std::fopen((base / "file").c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
    }
    // A regular file sits where a parent folder would have to be.
    const fs::path impossible = base / "file" / "Documents";
    kntest::ScopedEnv documents("KESTRUNE_DOCUMENTS", impossible.string());
    EXPECT_EQ(platform::documentsDirectory(), impossible.string());
    EXPECT_FALSE(fs::exists(impossible));
}
