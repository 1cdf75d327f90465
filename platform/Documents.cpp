#include "platform/Documents.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace platform {

namespace {

// Under it nothing can be written, by anyone: what is answered when no folder of ours can be had.
constexpr const char* kNowhere = "/dev/null/kestrune";

bool isOurFolder(const std::string& path, bool followLink) {
    struct stat info {};
    const int result = followLink ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
    return result == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
}

// Made once per process with a name nobody can guess or take first, readable by us alone.
const std::string& privateFolder() {
    static const std::string folder = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrune-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) return std::string(kNowhere);
        struct stat info {};
        const bool ours = ::lstat(pattern.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
                          info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
        return ours ? pattern : std::string(kNowhere);
    }();
    return folder;
}

std::optional<std::string> passwordHome() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && *found->pw_dir != '\0') {
        return std::string(found->pw_dir);
    }
    return std::nullopt;
}

}  // namespace

std::string homeDirectoryFrom(const char* home, const std::optional<std::string>& passwordHome) {
    if (home != nullptr && *home != '\0') return home;
    if (passwordHome && isOurFolder(*passwordHome, true)) return *passwordHome;
    return privateFolder();
}

std::string homeDirectory() { return homeDirectoryFrom(std::getenv("HOME"), passwordHome()); }

std::string documentsDirectory() {
    std::string path;
    if (const char* configured = std::getenv("KESTRUNE_DOCUMENTS"); configured != nullptr && *configured != '\0') {
        path = configured;
    } else {
        path = homeDirectory() + "/Documents";
    }
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    // Only the person it belongs to reads what is recorded and logged.
    ::mkdir(path.c_str(), 0700);
    return path;
}

}  // namespace platform
