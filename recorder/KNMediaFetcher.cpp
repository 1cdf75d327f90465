#include "kestrune/KNMediaFetcher.h"

std::shared_ptr<KNMediaFetcher> KNMediaFetcher::create() { return std::make_shared<KNMediaFetcher>(); }

void KNMediaFetcher::getMediaMoviesWithCompletionBlock(KNAssetsLibrary::MoviesCompletion completion) {
    // A host that took the library away still gets its answer.
    auto library = assetsLibrary_ ? assetsLibrary_ : KNAssetsLibrary::create();
    library->getMediaMoviesWithCompletionBlock(std::move(completion));
}
