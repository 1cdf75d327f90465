#include "platform/Documents.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace platform {

namespace {

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return "/tmp";
}

}  // namespace

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
    std::filesystem::create_directories(path, error);
    return path;
}

}  // namespace platform
