// Authorization codes and flows, moves into the folder-backed library, listings and fetches.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

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
    bool onCallerThread = false;
};

std::string describe(const std::shared_ptr<KNError>& error) {
    return error ? std::to_string(error->errorCodes().at(0)) + " " + error->message().value_or("") : "";
}

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
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

    // A recording in the Documents stand-in.
    fs::path recording(const std::string& name, const std::string& content = "movie bytes") {
        const fs::path path = documents / name;
        writeFile(path, content);
        return path;
    }

    PostResult post(const fs::path& file, bool checked) {
        auto promise = std::make_shared<std::promise<PostResult>>();
        const auto caller = std::this_thread::get_id();
        auto completion = [promise, caller](bool success, std::shared_ptr<KNError> error) {
            promise->set_value({success, describe(error), std::this_thread::get_id() == caller});
        };
        const auto url = platform::URL::fromFilePath(file.string());
        if (checked) library->addVideoWithURLCompletionBlock(url, completion);
        else library->postVideoWithURLCompletionBlock(url, completion);
        auto future = promise->get_future();
        if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready) return {false, "no answer", false};
        return future.get();
    }

    const fs::path root = fs::path(KESTRUNE_TEST_TMP) / kntest::uniqueName("library");
    const fs::path documents = root / "documents";
    const fs::path videos = root / "videos";
    kntest::ScopedEnv folder{"KESTRUNE_PHOTO_LIBRARY", videos.string()};
    std::shared_ptr<KNAssetsLibrary> library = KNAssetsLibrary::create();
};

TEST_F(AssetsLibraryTest, PlatformStatusesMapToTheirCodes) {
    const std::vector<std::pair<int64_t, int64_t>> photo = {{0, 120000}, {1, 120001}, {2, 120002}, {3, 120003},
                                                            {4, 120004}, {7, 120000}, {-1, 120000}};
    for (const auto& [status, code] : photo) {
        PhotoLibrary::setAuthorizationStatus(status);
        EXPECT_EQ(KNAssetsLibrary::authorizationStatus(), code) << status;
    }
    const std::vector<std::pair<int64_t, int64_t>> media = {{0, 130000}, {1, 130002}, {2, 130001}, {3, 130003}, {9, 130000}};
    for (const auto& [status, code] : media) {
        MediaLibrary::setAuthorizationStatus(status);
        EXPECT_EQ(KNAssetsLibrary::mediaLibraryauthorizationStatus(), code) << status;
    }
}

TEST_F(AssetsLibraryTest, AddingAVideoFollowsThePhotoAuthorization) {
    struct Row {
        int64_t status, requestAnswer;
        bool moved;
        std::string error;
        bool onCallerThread;
    };
    const std::string denied = "100001 Access denied for posting video.";
    const std::vector<Row> rows = {
        {PhotoLibrary::Restricted, PhotoLibrary::Authorized, false, denied, true},
        {PhotoLibrary::Denied, PhotoLibrary::Authorized, false, denied, true},
        {PhotoLibrary::NotDetermined, PhotoLibrary::Authorized, true, "", false},
        {PhotoLibrary::NotDetermined, PhotoLibrary::Denied, false, denied, false},
        {PhotoLibrary::NotDetermined, PhotoLibrary::Limited, false, denied, false},  // refused as obtained by request
        {PhotoLibrary::Limited, PhotoLibrary::Authorized, true, "", false},
        {PhotoLibrary::Authorized, PhotoLibrary::Denied, true, "", false},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.status) + " then " + std::to_string(row.requestAnswer));
        PhotoLibrary::setAuthorizationStatus(row.status);
        PhotoLibrary::setRequestAnswer(row.requestAnswer);
        const auto file = recording("rec " + std::to_string(++n) + ".mp4");
        const auto result = post(file, true);
        EXPECT_EQ(result.success, row.moved);
        EXPECT_EQ(result.error, row.error);
        EXPECT_EQ(result.onCallerThread, row.onCallerThread);
        EXPECT_EQ(fs::exists(file), !row.moved);
        EXPECT_EQ(fs::exists(videos / file.filename()), row.moved);
    }
}

TEST_F(AssetsLibraryTest, MovesKeepEveryFileAndAFailedMoveLeavesTheSource) {
    const auto first = recording("same.mp4", "first");
    ASSERT_TRUE(post(first, false).success);
    const auto second = recording("same.mp4", "second");
    ASSERT_TRUE(post(second, false).success);
    EXPECT_EQ(readFile(videos / "same.mp4"), "first");
    EXPECT_EQ(readFile(videos / "same (2).mp4"), "second");

    const auto missing = post(documents / "never recorded.mp4", false);
    EXPECT_FALSE(missing.success);
    EXPECT_EQ(missing.error, "100001 Could not post video in photos app");

    // A library that can't be a folder (a file holds its name): the move fails, the file stays.
    kntest::ScopedEnv blocked{"KESTRUNE_PHOTO_LIBRARY", (root / "blocked").string()};
    writeFile(root / "blocked", "not a folder");
    const auto third = recording("third.mp4", "third");
    const auto result = post(third, false);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(readFile(third), "third");
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

TEST_F(AssetsLibraryTest, AnEmptyLibraryListsNothingAndFetchesNothingAtOnce) {
    bool listed = false;
    library->getVideoFromMoviesLibraryWithCompletionBlock([&](auto movies, std::shared_ptr<KNError> error) {
        listed = movies.has_value() && movies->empty() && !error;
    });
    EXPECT_TRUE(listed);
    bool answered = false;
    library->getVideoFromPhotosLibraryWithNameCompletionBlock("any", [&](auto asset, auto mix, auto info) {
        answered = !asset && !mix && !info;
    });
    EXPECT_TRUE(answered);
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
