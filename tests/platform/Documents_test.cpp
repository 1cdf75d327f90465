#include "platform/Documents.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace fs = std::filesystem;

namespace {

// Restores one environment variable when the test ends.
class EnvGuard {
public:
    explicit EnvGuard(const char* name) : name_(name) {
        if (const char* value = std::getenv(name)) {
            saved_ = value;
        }
    }
    ~EnvGuard() {
        if (saved_) {
            setenv(name_, saved_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

fs::path scratch(const std::string& name) {
    fs::path dir = fs::path(KESTRUNE_TEST_TMP) / "documents-test" / name;
    fs::remove_all(dir);
    return dir;
}

}  // namespace

TEST(Documents, ConfiguredFolderIsCreatedWithParentsAndComesBack) {
    EnvGuard guard("KESTRUNE_DOCUMENTS");
    const fs::path dir = scratch("configured") / "a" / "b";
    setenv("KESTRUNE_DOCUMENTS", (dir.string() + "/").c_str(), 1);

    EXPECT_EQ(platform::documentsDirectory(), dir.string());
    EXPECT_TRUE(fs::is_directory(dir));

    // Removed behind the process's back: the next use makes it again.
    fs::remove_all(dir);
    EXPECT_EQ(platform::documentsDirectory(), dir.string());
    EXPECT_TRUE(fs::is_directory(dir));
}

TEST(Documents, FallsBackToHomeWhenUnsetOrEmpty) {
    EnvGuard documents("KESTRUNE_DOCUMENTS");
    EnvGuard home("HOME");
    const fs::path fakeHome = scratch("home");
    fs::create_directories(fakeHome);
    setenv("HOME", fakeHome.c_str(), 1);

    unsetenv("KESTRUNE_DOCUMENTS");
    EXPECT_EQ(platform::documentsDirectory(), (fakeHome / "Documents").string());
    EXPECT_TRUE(fs::is_directory(fakeHome / "Documents"));

    setenv("KESTRUNE_DOCUMENTS", "", 1);
    EXPECT_EQ(platform::documentsDirectory(), (fakeHome / "Documents").string());
}

TEST(Documents, AFolderThatCannotBeCreatedIsStillAnsweredWithoutThrowing) {
    EnvGuard guard("KESTRUNE_DOCUMENTS");
    const fs::path base = scratch("blocked");
    fs::create_directories(base);
    {
        std::FILE* file = std::fopen((base / "file").c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
    }
    // A regular file sits where a parent folder would have to be.
    const fs::path impossible = base / "file" / "Documents";
    setenv("KESTRUNE_DOCUMENTS", impossible.c_str(), 1);
    EXPECT_EQ(platform::documentsDirectory(), impossible.string());
    EXPECT_FALSE(fs::exists(impossible));
}
