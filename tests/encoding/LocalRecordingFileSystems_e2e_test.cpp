// Recordings and moves on real file systems that fill up or differ: small tmpfs mounts of our own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "encoding/LocalSaverTestSupport.h"
#include "kestrune/KNAssetsLibrary.h"
#include "platform/PhotoLibrary.h"
#include "support/ScopedEnv.h"
#include "support/ScopedTmpfs.h"

namespace {

namespace fs = std::filesystem;

std::pair<bool, std::string> post(KNAssetsLibrary& library, const fs::path& file) {
    auto promise = std::make_shared<std::promise<std::pair<bool, std::string>>>();
    library.postVideoWithURLCompletionBlock(platform::URL::fromFilePath(file.string()).value(),
                                            [promise](bool success, std::shared_ptr<KNError> error) {
                                                promise->set_value({success, error ? *error->message() : ""});
                                            });
    auto future = promise->get_future();
    if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) return {false, "no answer"};
    return future.get();
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class FileSystemsTest : public ::testing::Test {
protected:
    const fs::path root = fs::path(KESTRUNE_TEST_TMP) / kntest::uniqueName("filesystems");
    const fs::path small = root / "small";
    const fs::path disk = root / "disk";
};

TEST_F(FileSystemsTest, ARecordingOnAFullDiskGivesNoURLAndNothingIsMoved) {
    kntest::ScopedTmpfs tmpfs(small.string(), 128 * 1024);
    if (!tmpfs.mounted()) GTEST_SKIP() << tmpfs.reason();
    kntest::ScopedEnv documents{"KESTRUNE_DOCUMENTS", small.string()};
    kntest::ScopedEnv photos{"KESTRUNE_PHOTO_LIBRARY", disk.string()};
    savertest::Rig rig(320, 240);
    rig.noise = 40;
    rig.saver->setSavingEnabledError(true, nullptr);
    ASSERT_TRUE(rig.startEncoders());
    rig.settle();
    std::shared_ptr<KNError> startError;
    rig.saver->startSavingStream([&](std::shared_ptr<KNError> e) { startError = e; });
    savertest::drain(*rig.saver);
    ASSERT_EQ(startError, nullptr);
    ASSERT_TRUE(rig.feedSeconds(3.0));  // about 1 MB at the encoder's default rate
    rig.settle();
    const auto stop = savertest::stopAndWait(*rig.saver);
    rig.stopEncoders();
    EXPECT_FALSE(stop.url.has_value());
    ASSERT_TRUE(stop.error);
    EXPECT_EQ(stop.error->errorCodes(), std::vector<int64_t>{110003});
    // What an owner does with the answer: only a URL is ever moved.
    if (stop.url) post(*KNAssetsLibrary::create(), *stop.url->filePath());
    EXPECT_TRUE(platform::PhotoLibrary::videos().empty());
}

TEST_F(FileSystemsTest, MovesAcrossFileSystemsCopyThenRemoveAndFailuresKeepTheSource) {
    kntest::ScopedTmpfs tmpfs(small.string(), 64 * 1024);
    if (!tmpfs.mounted()) GTEST_SKIP() << tmpfs.reason();
    fs::create_directories(disk);
    auto library = KNAssetsLibrary::create();
    {
        // tmpfs -> disk, twice under one name: both arrive, both sources go. A file of someone
        // else's at a name an earlier copy would have used stays as it was.
        kntest::ScopedEnv photos{"KESTRUNE_PHOTO_LIBRARY", disk.string()};
        const auto planted = disk / (".partial-" + std::to_string(::getpid()) + "-rec.mp4");
        std::ofstream(planted) << "not ours";
        for (const std::string content : {"first", "second"}) {
            std::ofstream(small / "rec.mp4") << content;
            EXPECT_EQ(post(*library, small / "rec.mp4"), std::make_pair(true, std::string()));
            EXPECT_FALSE(fs::exists(small / "rec.mp4"));
        }
        EXPECT_EQ(readFile(disk / "rec.mp4"), "first");
        EXPECT_EQ(readFile(disk / "rec (2).mp4"), "second");
        EXPECT_EQ(readFile(planted), "not ours");
    }
    // disk -> a tmpfs too small for it: the copy fails, the source stays, no partial copy is left.
    kntest::ScopedEnv photos{"KESTRUNE_PHOTO_LIBRARY", small.string()};
    const std::string big(256 * 1024, 'x');
    std::ofstream(disk / "big.mp4") << big;
    EXPECT_EQ(post(*library, disk / "big.mp4"), std::make_pair(false, std::string("Could not post video in photos app")));
    EXPECT_EQ(readFile(disk / "big.mp4"), big);
    EXPECT_TRUE(fs::is_empty(small));
}

}  // namespace
