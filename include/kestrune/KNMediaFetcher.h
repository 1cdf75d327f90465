#pragma once
// Lists the movies of the media library for a host that wants to pick a file to push.
#include <memory>

#include "kestrune/KNAssetsLibrary.h"

class KNMediaFetcher {
public:
    // create() or a plain object: both come with a library of their own.
    static std::shared_ptr<KNMediaFetcher> create();

    const std::shared_ptr<KNAssetsLibrary>& assetsLibrary() const { return assetsLibrary_; }
    void setAssetsLibrary(std::shared_ptr<KNAssetsLibrary> library) { assetsLibrary_ = std::move(library); }
    // As KNAssetsLibrary::getMediaMoviesWithCompletionBlock: the media authorization first
    // (101001 when refused), then the list.
    void getMediaMoviesWithCompletionBlock(KNAssetsLibrary::MoviesCompletion completion);

private:
    std::shared_ptr<KNAssetsLibrary> assetsLibrary_ = KNAssetsLibrary::create();
};
