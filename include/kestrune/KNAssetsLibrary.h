#pragma once
// The door to the photo library (where finished recordings are moved) and the media library (home
// videos). On Linux both are folders: $KESTRUNE_PHOTO_LIBRARY, else the user's Videos folder. A
// desktop process has no consent prompt: both authorizations are granted unless the host says
// otherwise through platform::PhotoLibrary / platform::MediaLibrary.
//
// Threads: immediate answers (refusals, the movie listing, an empty library) come on the caller's
// thread; authorization answers, the end of a move and a fetched asset on a background thread.
// Every completion may be empty.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/KNError.h"
#include "kestrune/KNMovie.h"
#include "kestrune/platform/URL.h"

namespace platform {
class Asset;
class AudioMix;
}  // namespace platform

// Photo codes: 120000 + the platform status (not determined, restricted, denied, authorized, limited).
// Media codes: 130000 not determined, 130001 restricted, 130002 denied, 130003 authorized.
class KNAssetsLibrary : public std::enable_shared_from_this<KNAssetsLibrary> {
public:
    using StatusCompletion = std::function<void(int64_t code)>;
    using PostCompletion = std::function<void(bool success, std::shared_ptr<KNError> error)>;
    // No list (nullopt) on a refusal; an empty list when there is nothing.
    using MoviesCompletion =
        std::function<void(std::optional<std::vector<std::shared_ptr<KNMovie>>> movies, std::shared_ptr<KNError> error)>;
    using AssetCompletion = std::function<void(std::shared_ptr<platform::Asset> asset,
                                               std::shared_ptr<platform::AudioMix> audioMix,
                                               std::optional<std::map<std::string, std::string>> info)>;

    static int64_t authorizationStatus();
    static void requestAuthorization(StatusCompletion completion);
    static int64_t mediaLibraryauthorizationStatus();
    static void requestMediaLibraryAuthorization(StatusCompletion completion);
    static int64_t convertStatus(int64_t status);
    static int64_t convertMediaLibraryStatus(int64_t status);

    static std::shared_ptr<KNAssetsLibrary> create();
    // The library's videos album: its folder (made on the first move).
    const std::optional<std::string>& assetCollection() const { return assetCollection_; }

    // Checks the photo authorization, then moves the file into the library (100001 on refusal).
    void addVideoWithURLCompletionBlock(const platform::URL& url, PostCompletion completion);
    // The move alone. After a success the file is no longer where it was; after a failure it is.
    void postVideoWithURLCompletionBlock(const platform::URL& url, PostCompletion completion);
    // Checks the media authorization, then lists the home videos (101001 on refusal).
    void getMediaMoviesWithCompletionBlock(MoviesCompletion completion);
    // The listing alone, on the caller's thread.
    void getVideoFromMoviesLibraryWithCompletionBlock(MoviesCompletion completion);
    // The library's first video (oldest first) as a playable asset; the name is not consulted.
    void getVideoFromPhotosLibraryWithNameCompletionBlock(const std::string& name, AssetCompletion completion);

    // create() or a plain object: both work alike.
    KNAssetsLibrary();

private:
    std::optional<std::string> assetCollection_;
};
