// Authorization flows of both libraries, moves into the folder-backed library, listings and fetches.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "kestrune/KNAssetsLibrary.h"
#include "platform/MediaLibrary.h"
#include "platform/PhotoLibrary.h"
#include "platform/media/Asset.h"
#include "support/ScopedEnv.h"
#include "support/TestServer.h"

namespace {

namespace fs = std::filesystem;
using platform::MediaLibrary;
using platform::PhotoLibrary;

struct PostResult {
    bool success = false;
    std::string error;  // "code message", empty without an error
};

std::string describe(const std::shared_ptr<KNError>& error) {
    return error ? std::to_string(error->errorCodes().at(0)) + " " + error->message().value_or("") : "";
}

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

class AssetsLibraryTest : public ::testing::Test {
protected:
    void SetUp() override { grantEverything(); }
    void TearDown() override { grantEverything(); }

    static void grantEverything() {
        PhotoLibrary::setAuthorizationStatus(PhotoLibrary::Authorized);
        PhotoLibrary::setRequestAnswer(PhotoLibrary::Authorized);
        MediaLibrary::setAuthorizationStatus(MediaLibrary::Authorized);
        MediaLibrary::setRequestAnswer(MediaLibrary::Authorized);
    }

    PostResult add(const fs::path& file) {
        auto promise = std::make_shared<std::promise<PostResult>>();
        auto completion = [promise](bool success, std::shared_ptr<KNError> error) {
            promise->set_value({success, describe(error)});
        };
        const auto url = platform::URL::fromFilePath(file.string()).value();
        library->addVideoWithURLCompletionBlock(url, completion);
        auto future = promise->get_future();
        if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return {false, "no answer"};
        return future.get();
    }

    const fs::path root = fs::path(KESTRUNE_TEST_TMP) / kntest::uniqueName("library");
    const fs::path documents = root / "documents";
    const fs::path videos = root / "videos";
    kntest::ScopedEnv folder{"KESTRUNE_PHOTO_LIBRARY", videos.string()};
    std::shared_ptr<KNAssetsLibrary> library = KNAssetsLibrary::create();
};

TEST_F(AssetsLibraryTest, AddingAVideoFollowsThePhotoAuthorization) {
    struct Row {
        int64_t status, requestAnswer;
        bool moved;
        std::string error;
    };
    const std::string denied = "100001 Access denied for posting video.";
    const std::vector<Row> rows = {
        {PhotoLibrary::Restricted, PhotoLibrary::Authorized, false, denied},
        {PhotoLibrary::Denied, PhotoLibrary::Authorized, false, denied},
        {PhotoLibrary::NotDetermined, PhotoLibrary::Authorized, true, ""},
        {PhotoLibrary::NotDetermined, PhotoLibrary::Denied, false, denied},
        {PhotoLibrary::NotDetermined, PhotoLibrary::Limited, false, denied},  // refused as obtained by request
        {PhotoLibrary::Limited, PhotoLibrary::Authorized, true, ""},
        {PhotoLibrary::Authorized, PhotoLibrary::Denied, true, ""},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.status) + " then " + std::to_string(row.requestAnswer));
        PhotoLibrary::setAuthorizationStatus(row.status);
        PhotoLibrary::setRequestAnswer(row.requestAnswer);
        const auto file = documents / ("rec " + std::to_string(++n) + ".mp4");
        writeFile(file, "movie bytes");
        const auto result = add(file);
        EXPECT_EQ(result.success, row.moved);
        EXPECT_EQ(result.error, row.error);
        EXPECT_EQ(fs::exists(file), !row.moved);
        EXPECT_EQ(fs::exists(videos / file.filename()), row.moved);
    }
}

TEST_F(AssetsLibraryTest, MoviesAreListedWhenTheMediaAuthorizationAllows) {
    writeFile(videos / "b clip.mp4", "b");
    writeFile(videos / "a clip.mov", "a");
    writeFile(videos / "notes.txt", "not a video");
    struct Row {
        int64_t status, requestAnswer;
        std::string expected;
    };
    const std::string denied = "none, 101001 Access denied for getting videos.";
    const std::string listed = "a clip=" + (videos / "a clip.mov").string() + ";b clip=" + (videos / "b clip.mp4").string() + ";, ";
    const std::vector<Row> rows = {
        {MediaLibrary::Denied, MediaLibrary::Authorized, denied},
        {MediaLibrary::Restricted, MediaLibrary::Authorized, denied},
        {MediaLibrary::NotDetermined, MediaLibrary::Denied, denied},
        {MediaLibrary::NotDetermined, MediaLibrary::Authorized, listed},
        {MediaLibrary::Authorized, MediaLibrary::Denied, listed},
    };
    for (const auto& row : rows) {
        MediaLibrary::setAuthorizationStatus(row.status);
        MediaLibrary::setRequestAnswer(row.requestAnswer);
        auto promise = std::make_shared<std::promise<std::string>>();
        library->getMediaMoviesWithCompletionBlock([promise](auto movies, std::shared_ptr<KNError> error) {
            std::string text = movies ? "" : "none";
            for (const auto& movie : movies.value_or(std::vector<std::shared_ptr<KNMovie>>{}))
                text += movie->title() + "=" + movie->url()->filePath().value_or("") + ";";
            promise->set_value(text + ", " + describe(error));
        });
        auto future = promise->get_future();
        ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(future.get(), row.expected) << row.status << " then " << row.requestAnswer;
    }
}

TEST_F(AssetsLibraryTest, AFetchGivesTheOldestVideoWhateverTheName) {
    writeFile(videos / "old.mp4", "old");
    fs::last_write_time(videos / "old.mp4", fs::file_time_type::clock::now() - std::chrono::hours(1));
    writeFile(videos / "new.mp4", "new");
    auto promise = std::make_shared<std::promise<std::string>>();
    library->getVideoFromPhotosLibraryWithNameCompletionBlock("new", [promise](auto asset, auto, auto) {
        promise->set_value(asset ? asset->url().filePath().value_or("") : "");
    });
    auto future = promise->get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(future.get(), (videos / "old.mp4").string());
}

}  // namespace
