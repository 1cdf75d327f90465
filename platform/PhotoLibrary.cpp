#include "platform/PhotoLibrary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/AuthorizationState.h"
#include "platform/Documents.h"
#include "platform/DispatchQueue.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

AuthorizationState& authorization() {
    static AuthorizationState state(PhotoLibrary::Authorized);
    return state;
}

constexpr int kMaxNameSuffix = 999;
constexpr size_t kCopyChunkBytes = 1 << 20;

std::string errnoText(const std::string& what, int code) { return what + ": " + std::strerror(code); }

// Renames without replacing anything; the name gets a suffix while it is taken.
bool renameToFreeName(const fs::path& from, const fs::path& folder, const std::string& name, fs::path* placed,
                      int* error) {
    const fs::path stem = fs::path(name).stem();
    const std::string extension = fs::path(name).extension().string();
    for (int n = 1; n <= kMaxNameSuffix; ++n) {
        const fs::path to = folder / (n == 1 ? name : stem.string() + " (" + std::to_string(n) + ")" + extension);
        if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
            *placed = to;
            return true;
        }
        if (errno != EEXIST) break;
    }
    *error = errno;
    return false;
}

// Copies `from` into a new file in `folder` under a name nobody can take first, with the source's
// mode, and syncs it. `*copy` names the file once it has been made, also when copying fails: only
// a file of ours is ever removed.
bool copySynced(const fs::path& from, const fs::path& folder, fs::path* copy, int* error) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    std::string name = (folder / ".partial-XXXXXX").string();
    const int out = in < 0 ? -1 : ::mkostemp(name.data(), O_CLOEXEC);
    if (out >= 0) *copy = name;
    struct stat source {};
    bool ok = in >= 0 && out >= 0 && ::fstat(in, &source) == 0 && ::fchmod(out, source.st_mode & 0777) == 0;
    std::vector<char> buffer(ok ? kCopyChunkBytes : 0);
    while (ok) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got == 0) break;
        ok = got > 0;
        for (ssize_t done = 0; ok && done < got;) {
            const ssize_t put = ::write(out, buffer.data() + done, static_cast<size_t>(got - done));
            ok = put > 0;
            done += ok ? put : 0;
        }
    }
    ok = ok && ::fsync(out) == 0;
    if (!ok) *error = errno != 0 ? errno : EIO;
    if (out >= 0 && ::close(out) != 0 && ok) {
        *error = errno;
        ok = false;
    }
    if (in >= 0) ::close(in);
    return ok;
}

}  // namespace

int64_t PhotoLibrary::authorizationStatus() { return authorization().status(); }

void PhotoLibrary::setAuthorizationStatus(int64_t status) { authorization().setStatus(status); }

void PhotoLibrary::setRequestAnswer(int64_t status) { authorization().setRequestAnswer(status); }

void PhotoLibrary::requestAuthorization(std::function<void(int64_t status)> handler) {
    authorization().request(std::move(handler));
}

std::string PhotoLibrary::folder() {
    if (const char* dir = std::getenv("KESTRUNE_PHOTO_LIBRARY"); dir && *dir) return dir;
    if (const char* dir = std::getenv("XDG_VIDEOS_DIR"); dir && *dir) return dir;
    return homeDirectory() + "/Videos";
}

bool PhotoLibrary::moveFile(const std::string& source, const std::string& folder, std::string* destination,
                            std::string* error) {
    std::error_code ec;
    const fs::path from(source);
    if (!fs::is_regular_file(from, ec)) {
        *error = "no file at " + source;
        return false;
    }
    fs::create_directories(folder, ec);
    fs::path placed;
    int code = 0;
    if (renameToFreeName(from, folder, from.filename().string(), &placed, &code)) {
        *destination = placed.string();
        return true;
    }
    if (code != EXDEV) {
        *error = errnoText("cannot move " + source, code);
        return false;
    }
    // Another file system: the copy becomes visible under its name only once complete and synced.
    fs::path partial;
    if (!copySynced(from, folder, &partial, &code) ||
        !renameToFreeName(partial, folder, from.filename().string(), &placed, &code)) {
        if (!partial.empty()) fs::remove(partial, ec);
        *error = errnoText("cannot copy " + source, code);
        return false;
    }
    if (::unlink(from.c_str()) != 0) {
        code = errno;
        fs::remove(placed, ec);  // the source stays the one copy
        *error = errnoText("cannot remove " + source, code);
        return false;
    }
    *destination = placed.string();
    return true;
}

void PhotoLibrary::moveVideoIntoLibrary(const std::string& path,
                                        std::function<void(bool success, const std::string& pathOrError)> handler) {
    DispatchQueue::global()->async([path, handler = std::move(handler)] {
        std::string destination;
        std::string error;
        const bool ok = moveFile(path, folder(), &destination, &error);
        if (handler) handler(ok, ok ? destination : error);
    });
}

std::vector<std::string> PhotoLibrary::videosInFolder(const std::string& folder) {
    std::vector<std::pair<fs::file_time_type, std::string>> found;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::string extension = it->path().extension().string();
        std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
        const bool video = extension == ".mp4" || extension == ".m4v" || extension == ".mov";
        if (!video || !it->is_regular_file(ec) || it->path().filename().string().starts_with(".")) continue;
        found.emplace_back(it->last_write_time(ec), it->path().string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& entry : found) paths.push_back(std::move(entry.second));
    return paths;
}

std::vector<std::string> PhotoLibrary::videos() { return videosInFolder(folder()); }

}  // namespace platform
