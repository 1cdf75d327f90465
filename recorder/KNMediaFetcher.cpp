#include "kestrune/KNMediaFetcher.h"

std::shared_ptr<KNMediaFetcher> KNMediaFetcher::create() {
    auto fetcher = std::make_shared<KNMediaFetcher>();
    fetcher->assetsLibrary_ = KNAssetsLibrary::create();
    return fetcher;
}

void KNMediaFetcher::getMediaMoviesWithCompletionBlock(KNAssetsLibrary::MoviesCompletion completion) {
    if (assetsLibrary_) assetsLibrary_->getMediaMoviesWithCompletionBlock(std::move(completion));
}
