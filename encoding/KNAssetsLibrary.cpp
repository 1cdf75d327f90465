#include "kestrune/KNAssetsLibrary.h"

#include "platform/DispatchQueue.h"
#include "platform/MediaLibrary.h"
#include "platform/PhotoLibrary.h"
#include "platform/media/Asset.h"

namespace {

constexpr int64_t kPhotoCodeBase = 120000;
constexpr int64_t kPhotoRestricted = 120001;
constexpr int64_t kPhotoDenied = 120002;
constexpr int64_t kPhotoAuthorized = 120003;
constexpr int64_t kPhotoNotDetermined = 120000;
constexpr int64_t kMediaNotDetermined = 130000;
constexpr int64_t kMediaRestricted = 130001;
constexpr int64_t kMediaDenied = 130002;
constexpr int64_t kMediaAuthorized = 130003;
constexpr int64_t kErrorPost = 100001;
constexpr int64_t kErrorMovies = 101001;

std::shared_ptr<KNError> error(int64_t code, const std::string& message) {
    return KNError::errorWithCodesMessage({code}, message);
}

void deniedPosting(const KNAssetsLibrary::PostCompletion& completion) {
    if (completion) completion(false, error(kErrorPost, "Access denied for posting video."));
}

void deniedMovies(const KNAssetsLibrary::MoviesCompletion& completion) {
    if (completion) completion(std::nullopt, error(kErrorMovies, "Access denied for getting videos."));
}

}  // namespace

int64_t KNAssetsLibrary::convertStatus(int64_t status) {
    return status >= 1 && status <= 4 ? kPhotoCodeBase + status : kPhotoNotDetermined;
}

int64_t KNAssetsLibrary::convertMediaLibraryStatus(int64_t status) {
    switch (status) {
        case platform::MediaLibrary::Denied:
            return kMediaDenied;
        case platform::MediaLibrary::Restricted:
            return kMediaRestricted;
        case platform::MediaLibrary::Authorized:
            return kMediaAuthorized;
        default:
            return kMediaNotDetermined;
    }
}

int64_t KNAssetsLibrary::authorizationStatus() { return convertStatus(platform::PhotoLibrary::authorizationStatus()); }

void KNAssetsLibrary::requestAuthorization(StatusCompletion completion) {
    platform::PhotoLibrary::requestAuthorization([completion = std::move(completion)](int64_t status) {
        if (completion) completion(convertStatus(status));
    });
}

int64_t KNAssetsLibrary::mediaLibraryauthorizationStatus() {
    return convertMediaLibraryStatus(platform::MediaLibrary::authorizationStatus());
}

void KNAssetsLibrary::requestMediaLibraryAuthorization(StatusCompletion completion) {
    platform::MediaLibrary::requestAuthorization([completion = std::move(completion)](int64_t status) {
        if (completion) completion(convertMediaLibraryStatus(status));
    });
}

KNAssetsLibrary::KNAssetsLibrary() : assetCollection_(platform::PhotoLibrary::folder()) {}

std::shared_ptr<KNAssetsLibrary> KNAssetsLibrary::create() { return std::make_shared<KNAssetsLibrary>(); }

void KNAssetsLibrary::addVideoWithURLCompletionBlock(const platform::URL& url, PostCompletion completion) {
    const int64_t status = authorizationStatus();
    if (status == kPhotoRestricted || status == kPhotoDenied) return deniedPosting(completion);
    if (status != kPhotoNotDetermined) return postVideoWithURLCompletionBlock(url, std::move(completion));
    // Only full access granted now lets the move follow: limited access obtained here is refused.
    // The move needs nothing of this object: a library the host made without create() works too.
    requestAuthorization([url, completion = std::move(completion)](int64_t code) {
        if (code == kPhotoAuthorized) KNAssetsLibrary().postVideoWithURLCompletionBlock(url, completion);
        else deniedPosting(completion);
    });
}

void KNAssetsLibrary::postVideoWithURLCompletionBlock(const platform::URL& url, PostCompletion completion) {
    platform::PhotoLibrary::moveVideoIntoLibrary(
        url.filePath().value_or(""), [completion = std::move(completion)](bool success, const std::string&) {
            if (!completion) return;
            if (success) completion(true, nullptr);
            else completion(false, error(kErrorPost, "Could not post video in photos app"));
        });
}

void KNAssetsLibrary::getMediaMoviesWithCompletionBlock(MoviesCompletion completion) {
    const int64_t status = mediaLibraryauthorizationStatus();
    if (status == kMediaRestricted || status == kMediaDenied) return deniedMovies(completion);
    if (status != kMediaNotDetermined) return getVideoFromMoviesLibraryWithCompletionBlock(std::move(completion));
    requestMediaLibraryAuthorization([completion = std::move(completion)](int64_t code) {
        if (code == kMediaAuthorized) KNAssetsLibrary().getVideoFromMoviesLibraryWithCompletionBlock(completion);
        else deniedMovies(completion);
    });
}

void KNAssetsLibrary::getVideoFromMoviesLibraryWithCompletionBlock(MoviesCompletion completion) {
    std::vector<std::shared_ptr<KNMovie>> movies;
    for (const auto& item : platform::MediaLibrary::homeVideos()) {
        auto movie = KNMovie::create();
        movie->setTitle(item.title);
        movie->setUrl(platform::URL::fromFilePath(item.path));
        movies.push_back(std::move(movie));
    }
    if (completion) completion(std::move(movies), nullptr);
}

void KNAssetsLibrary::getVideoFromPhotosLibraryWithNameCompletionBlock(const std::string& /*name*/,
                                                                       AssetCompletion completion) {
    const auto videos = platform::PhotoLibrary::videos();
    if (videos.empty()) {
        if (completion) completion(nullptr, nullptr, std::nullopt);
        return;
    }
    auto url = platform::URL::fromFilePath(videos.front());
    if (!url) {
        if (completion) completion(nullptr, nullptr, std::nullopt);
        return;
    }
    auto asset = platform::Asset::createWithURL(std::move(*url));
    platform::DispatchQueue::global()->async([asset, completion = std::move(completion)] {
        if (completion) completion(asset, nullptr, std::map<std::string, std::string>{});
    });
}
