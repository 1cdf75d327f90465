#pragma once
// The photo library: a folder of video files. $KESTRUNE_PHOTO_LIBRARY when set and non-empty, else
// the user's Videos folder ($XDG_VIDEOS_DIR, else $HOME/Videos); created on the first move.
//
// A desktop process has no consent prompt, so the authorization status is state that the host (or
// a test) sets: authorized until told otherwise.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

class PhotoLibrary {
public:
    enum Status : int64_t { NotDetermined = 0, Restricted = 1, Denied = 2, Authorized = 3, Limited = 4 };

    static int64_t authorizationStatus();
    // Any value, also ones outside the enumeration.
    static void setAuthorizationStatus(int64_t status);
    // What a request grants while the status is not determined (it then becomes the status).
    static void setRequestAnswer(int64_t status);
    // Answers on a background thread with the status after the request.
    static void requestAuthorization(std::function<void(int64_t status)> handler);

    static std::string folder();
    // Moves the file into the library (a name already there gets " (2)", " (3)", ...). Within a
    // file system a rename; across file systems a copy that is synced and renamed into place
    // before the source is removed. On failure the file stays where it was. The handler runs on
    // a background thread with the library path or an error text.
    static void moveVideoIntoLibrary(const std::string& path,
                                     std::function<void(bool success, const std::string& pathOrError)> handler);
    // The same, on the caller's thread; false with a reason in `error` on failure.
    static bool moveFile(const std::string& source, const std::string& folder, std::string* destination,
                         std::string* error);

    // The library's video files (mp4, m4v, mov, m4a excluded) by ascending modification time.
    static std::vector<std::string> videos();
    // The video files of any folder in that order.
    static std::vector<std::string> videosInFolder(const std::string& folder);
};

}  // namespace platform
