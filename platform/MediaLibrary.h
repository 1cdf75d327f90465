#pragma once
// The media library's home videos: the video files of the photo library's folder, titled by their
// names. Its authorization status is state that the host (or a test) sets, authorized by default.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

class MediaLibrary {
public:
    // Ordered as the platform orders them (not like the photo library's).
    enum Status : int64_t { NotDetermined = 0, Denied = 1, Restricted = 2, Authorized = 3 };

    struct Item {
        std::string title;  // the file name without its extension
        std::string path;
    };

    static int64_t authorizationStatus();
    static void setAuthorizationStatus(int64_t status);
    // What a request grants while the status is not determined (it then becomes the status).
    static void setRequestAnswer(int64_t status);
    // Answers on a background thread with the status after the request.
    static void requestAuthorization(std::function<void(int64_t status)> handler);

    // By title.
    static std::vector<Item> homeVideos();
};

}  // namespace platform
