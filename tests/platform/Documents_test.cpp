#include "platform/Documents.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "support/ScopedEnv.h"

namespace fs = std::filesystem;

TEST(Documents, TheConfiguredFolderOrHomesIsMadeOnEveryUse) {
    const fs::path base = fs::path(KESTRUNE_TEST_TMP) / "documents-test";
    fs::remove_all(base);
    const fs::path dir = base / "a" / "b";
    kntest::ScopedEnv documents("KESTRUNE_DOCUMENTS", dir.string() + "/");
    EXPECT_EQ(platform::documentsDirectory(), dir.string());
    EXPECT_TRUE(fs::is_directory(dir));
    fs::remove_all(dir);
    EXPECT_EQ(platform::documentsDirectory(), dir.string());
    EXPECT_TRUE(fs::is_directory(dir));

    kntest::ScopedEnv home("HOME", (base / "home").string());
    documents.set(std::nullopt);
    EXPECT_EQ(platform::documentsDirectory(), (base / "home" / "Documents").string());
    EXPECT_TRUE(fs::is_directory(base / "home" / "Documents"));
}
