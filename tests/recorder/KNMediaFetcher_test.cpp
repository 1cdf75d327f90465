// The media fetcher and the assets library as a host may make them: with or without create().
#include "kestrune/KNMediaFetcher.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "platform/MediaLibrary.h"
#include "platform/PhotoLibrary.h"
#include "support/ScopedEnv.h"
#include "support/TestServer.h"

namespace {

namespace fs = std::filesystem;
using platform::MediaLibrary;
using platform::PhotoLibrary;

std::string titles(const std::shared_ptr<KNMediaFetcher>& fetcher) {
    auto promise = std::make_shared<std::promise<std::string>>();
    fetcher->getMediaMoviesWithCompletionBlock([promise](auto movies, std::shared_ptr<KNError> error) {
        std::string text = error ? "error" : "";
        for (const auto& movie : movies.value_or(std::vector<std::shared_ptr<KNMovie>>{})) text += movie->title() + ";";
        promise->set_value(text);
    });
    auto future = promise->get_future();
    return future.wait_for(std::chrono::seconds(10)) == std::future_status::ready ? future.get() : "no answer";
}

// Both authorizations asked for on the way: the answers come after this object's call returned.
TEST(KNMediaFetcher, ObjectsMadeWithoutTheirFactoryAnswerLikeTheOthers) {
    const fs::path root = fs::path(KESTRUNE_TEST_TMP) / kntest::uniqueName("fetcher");
    kntest::ScopedEnv folder{"KESTRUNE_PHOTO_LIBRARY", (root / "videos").string()};
    fs::create_directories(root);
    std::ofstream(root / "clip.mp4") << "clip";
    PhotoLibrary::setAuthorizationStatus(PhotoLibrary::NotDetermined);
    PhotoLibrary::setRequestAnswer(PhotoLibrary::Authorized);
    MediaLibrary::setAuthorizationStatus(MediaLibrary::NotDetermined);
    MediaLibrary::setRequestAnswer(MediaLibrary::Authorized);

    auto plain = std::make_shared<KNAssetsLibrary>();
    EXPECT_EQ(plain->assetCollection(), KNAssetsLibrary::create()->assetCollection());
    std::promise<bool> moved;
    plain->addVideoWithURLCompletionBlock(*platform::URL::fromFilePath((root / "clip.mp4").string()),
                                          [&](bool success, std::shared_ptr<KNError>) { moved.set_value(success); });
    auto answer = moved.get_future();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(answer.get());

    EXPECT_EQ(titles(KNMediaFetcher::create()), "clip;");
    EXPECT_EQ(titles(std::make_shared<KNMediaFetcher>()), "clip;");
    auto emptied = std::make_shared<KNMediaFetcher>();
    emptied->setAssetsLibrary(nullptr);
    EXPECT_EQ(titles(emptied), "clip;");

    PhotoLibrary::setAuthorizationStatus(PhotoLibrary::Authorized);
    MediaLibrary::setAuthorizationStatus(MediaLibrary::Authorized);
}

}  // namespace
