#include "platform/MediaLibrary.h"

#include <algorithm>
#include <filesystem>

#include "platform/AuthorizationState.h"
#include "platform/DispatchQueue.h"
#include "platform/PhotoLibrary.h"

namespace platform {

namespace {
AuthorizationState& authorization() {
    static AuthorizationState state(MediaLibrary::Authorized);
    return state;
}

}  // namespace

int64_t MediaLibrary::authorizationStatus() { return authorization().status(); }

void MediaLibrary::setAuthorizationStatus(int64_t status) { authorization().setStatus(status); }

void MediaLibrary::setRequestAnswer(int64_t status) { authorization().setRequestAnswer(status); }

void MediaLibrary::requestAuthorization(std::function<void(int64_t status)> handler) {
    authorization().request(std::move(handler));
}

std::vector<MediaLibrary::Item> MediaLibrary::homeVideos() {
    std::vector<Item> items;
    for (const auto& path : PhotoLibrary::videos()) items.push_back({std::filesystem::path(path).stem().string(), path});
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.title < b.title; });
    return items;
}

}  // namespace platform
